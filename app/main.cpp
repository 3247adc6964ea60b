// quillmark: the dialog by default; --headless, detect, pattern, marker,
// calibrate, body and fuse run without a window. -C DIR changes to DIR
// first, so Data/ is found there.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include "command_line.h"
#include "commands.h"

namespace {

// The command word: the first argument (or the one after a leading -C DIR),
// or --headless anywhere, taken out of `args`. `--camera list` is a question
// for the server's camera code, not a server: it needs no --headless.
std::string takeCommandWord(Args& args, const std::vector<Command>& all) {
    const size_t at = args.size() > 2 && args[0] == "-C" ? 2 : 0;
    const bool isWord = at < args.size() && args[at][0] != '-' &&
                        std::any_of(all.begin(), all.end(), [&](const Command& c) { return c.word == args[at]; });
    if (isWord) {
        const std::string word = args[at];
        args.erase(args.begin() + static_cast<long>(at));
        return word;
    }
    const auto headless = std::find(args.begin(), args.end(), "--headless");
    if (headless != args.end()) {
        args.erase(headless);
        return "--headless";
    }
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--camera" && args[i + 1] == "list") return "--headless";
    }
    return "";
}

} // namespace

int main(int argc, char** argv) {
    // Lines such as a client's "End of file" must reach a log file or a
    // pipe as they happen, not when a block fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A file-size limit must fail the write, which is then reported and the
    // old file kept, rather than kill the program half-way through a save.
    std::signal(SIGXFSZ, SIG_IGN);
    // In the order the full help lists them.
    const std::vector<Command> all{dialogCommand(argv[0]), headlessCommand(),  cameraListCommand(),
                                   detectCommand(),        patternCommand(),   markerCommand(),
                                   calibrateCommand(),     bodyCommand(),      fuseCommand()};
    Args args(argv + 1, argv + argc);
    const std::string word = takeCommandWord(args, all);
    const auto command = std::find_if(all.begin(), all.end(), [&](const Command& c) { return c.word == word; });
    return runCommandLine(*command, all, args);
}
