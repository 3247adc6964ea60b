#pragma once
// Files read and written whole. Reading says why a path cannot be read (a
// directory where the file should be, say) instead of throwing from deep in
// a stream; writing puts the new file beside the old one and renames it
// over, so a full disk or a size limit leaves the old file as it was.
#include <functional>
#include <string>

// Why `path` cannot be read as a file: "there is no such file", "it is a
// directory, not a file", or the system's words. Empty when it can.
std::string fileReadProblem(const std::string& path);

// Every byte of `path`. False with `reason` as fileReadProblem gives it.
bool readWholeFile(const std::string& path, std::string& bytes, std::string& reason);

// Replaces `path` (the file a symbolic link names, when it is one) by
// `bytes`: written to a new file beside it, read back, synced, and renamed
// over it in one step, keeping the old file's permissions. `beforeReplace`,
// when given, runs just before the rename and may refuse, its reason in
// `error`. False with `error` naming the file and the reason; the old file
// is then untouched and nothing is left beside it.
bool replaceFileWhole(const std::string& path, const std::string& bytes, std::string& error,
                      const std::function<bool(std::string& error)>& beforeReplace = nullptr);
