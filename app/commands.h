#pragma once
// The commands of the quillmark executable. Each declares its options into
// a CLI11 App (command_line.h) and returns what runs it; the working
// directory has been changed by -C by the time that runs, and its result is
// the process exit status.
#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

using Args = std::vector<std::string>;
using CommandRun = std::function<int()>;

struct Command {
    std::string word;      // "detect", "--headless", ...; "" for the dialog
    std::string synopsis;  // the "usage: quillmark ..." lines
    std::string about;     // what it does, printed before the options
    std::string notes;     // printed after the options
    // Declares the command's own options and returns its run; none for a
    // usage block alone (--camera list).
    std::function<CommandRun(CLI::App&)> declare;
};

Command dialogCommand(const char* program);
Command headlessCommand();
Command cameraListCommand();
Command detectCommand();
Command patternCommand();
Command markerCommand();
Command calibrateCommand();
Command bodyCommand();
Command fuseCommand();
