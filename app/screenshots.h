#pragma once
// The dialog's hidden --screenshots DIR mode (scripts/screenshots.sh).
#include <string>

class CQuillmarkDlg;

// Saves screenshot-idle.png, screenshot-running.png and
// screenshot-capture.png into `directory`, then closes the dialog.
// 0 when all three were saved.
int takeScreenshots(CQuillmarkDlg& dialog, const std::string& directory);
