#pragma once
// Files read whole, saying why a path cannot be read (a directory where the
// file should be, say) instead of throwing from deep inside a stream. Their
// replacement is replace_file.h.
#include <string>

// Why `path` cannot be read as a file: "there is no such file", "it is a
// directory, not a file", or the system's words. Empty when it can.
std::string fileReadProblem(const std::string& path);

// Every byte of `path`. False with `reason` as fileReadProblem gives it.
bool readWholeFile(const std::string& path, std::string& bytes, std::string& reason);
