#pragma once
// The dialog's hidden --screenshots DIR mode (scripts/screenshots.sh).
#include <string>

class CQuillmarkDlg;

// Saves screenshot-idle.png and screenshot-running.png into `directory`,
// then closes the dialog. 0 when both were saved.
int takeScreenshots(CQuillmarkDlg& dialog, const std::string& directory);
