// quillmark: the dialog by default; --headless, detect, pattern and marker
// run without a window. -C DIR changes to DIR first, so Data/ is found there.
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include "commands.h"
#include "config.h"

namespace {

bool isCommand(const std::string& word) {
    return word == "--headless" || word == "detect" || word == "pattern" || word == "marker" || word == "calibrate";
}

bool asksForHelp(const Args& args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "-h" || a == "--help"; });
}

// `--camera list` is a question, not a server: it needs no --headless.
bool listsCameras(const Args& args) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--camera" && args[i + 1] == "list") return true;
    }
    return false;
}

// The command word: the first argument, or --headless anywhere (after -C
// DIR, say). It is taken out of `args`.
std::string takeCommand(Args& args) {
    if (!args.empty() && isCommand(args[0])) {
        const std::string command = args[0];
        args.erase(args.begin());
        return command;
    }
    const auto headless = std::find(args.begin(), args.end(), "--headless");
    if (headless == args.end()) return "";
    args.erase(headless);
    return "--headless";
}

// Takes -C DIR out of `args` and changes to DIR at once. Non-zero: the exit
// status of a failure, already reported.
int changeDirectory(Args& args, const std::string& command) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "-C") continue;
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "quillmark: -C needs a folder\n");
            printCommandUsage(command, stderr);
            return 2;
        }
        if (chdir(args[i + 1].c_str()) != 0) {
            std::fprintf(stderr, "quillmark: cannot change to %s: %s\n", args[i + 1].c_str(), std::strerror(errno));
            return 2;
        }
        args.erase(args.begin() + i, args.begin() + i + 2);
        --i;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Lines such as a client's "End of file" must reach a log file or a
    // pipe as they happen, not when a block fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Args args(argv + 1, argv + argc);
    std::string command = takeCommand(args);
    if (asksForHelp(args)) {
        if (command.empty()) printUsage(stdout);
        else printCommandUsage(command, stdout);
        return 0;
    }
    if (const int status = changeDirectory(args, command)) return status;
    if (command.empty() && listsCameras(args)) command = "--headless";
    if (command == "--headless") return runHeadless(args);
    if (command == "detect") return runDetect(args);
    if (command == "pattern") return runPattern(args);
    if (command == "marker") return runMarker(args);
    if (command == "calibrate") return runCalibrate(args);
    return runDialog(argc, argv, args);
}
