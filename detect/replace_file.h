#pragma once
// Replacing a file the running system depends on without ever leaving it
// cut short: the new text is written whole beside it, read back and synced,
// and renamed over it in one step; the old file is first kept as the next
// backup (path.bak, path.bak.1, path.bak.2, ..., never replacing one).
// A symbolic link is followed, and the file keeps its permissions.
#include <functional>
#include <string>

// Writes the new file at the fresh path it is given (beside `path`) and
// checks it; false when it could not be written whole.
using FreshFileWriter = std::function<bool(const std::string& freshPath)>;

// Replaces `path` with what `writeFresh` writes; the backup kept of an
// existing file is named in `backupPath` (empty when there was none).
// Nothing is changed unless all of it succeeded; `error` then says why.
bool replaceFileKeepingBackup(const std::string& path, const FreshFileWriter& writeFresh, std::string& error,
                              std::string* backupPath = nullptr);

// The same for a text file: `text` is written as it is, LF line ends.
bool writeTextFileKeepingBackup(const std::string& path, const std::string& text, std::string& error,
                                std::string* backupPath = nullptr);

// The same for a file rewritten at every close (the settings, the
// catalogue), where a backup per close would pile up: no backup is kept.
bool writeTextFileReplacing(const std::string& path, const std::string& text, std::string& error);
