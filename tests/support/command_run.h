#pragma once
// Runs the real quillmark executable as a user would from a shell, in the
// directory given by -C, and collects its exit status and both outputs.
#include <sys/wait.h>
#include <cstdlib>
#include <string>
#include "temp_dir.h"

struct CommandRun {
    int status;
    std::string out;
    std::string err;
};

inline CommandRun runQuillmark(const std::string& executable, const std::string& arguments, const TempDir& dir) {
    const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    const std::string command = executable + " " + arguments + " -C " + dir.path() + " >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}
