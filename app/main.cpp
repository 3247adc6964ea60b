// quillmark: the dialog by default; --headless, detect, pattern and marker
// run without a window. -C DIR changes to DIR first, so Data/ is found there.
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include "commands.h"
#include "config.h"

void printUsage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [-C DIR]                      operator dialog\n"
                 "       %s --headless [-C DIR] [--port N] [--mode automatic|command]\n"
                 "                    [--fields LIST] [--camera SOURCE] [--preview] [--refine]\n"
                 "                    [--tuio HOST[:PORT]] [--mqtt HOST[:PORT][/PREFIX]]\n"
                 "       %s detect [-C DIR] [--fields LIST] [--repeat N] [--refine] IMAGE...\n"
                 "       %s pattern [-C DIR] [--name NAME] [--width MM] IMAGE\n"
                 "       %s marker [-C DIR] N OUT.png [--dpi N] | N --pdf OUT.pdf [--page a4|letter]\n"
                 "       %s calibrate [-C DIR] --board COLSxROWS --square MM IMAGE...|--camera SOURCE\n"
                 "       %s calibrate [-C DIR] --import FILE [--size WxH]\n"
                 "       %s calibrate [-C DIR] --board COLSxROWS --square MM --pdf OUT.pdf [--page a4|letter]\n"
                 "LIST is a comma list of name,pos2d,dvec,pos3d,glmatrix,cf,area,vertex, or all.\n"
                 "--refine finds each marker's corners to a fraction of a pixel ([CornerRefine] 1).\n"
                 "--headless, detect and pattern also take %s.\n",
                 program, program, program, program, program, program, program, program, DetectorFlagsUsage);
}

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    std::string mode;
    if (!args.empty() && (args[0] == "--headless" || args[0] == "detect" || args[0] == "pattern" ||
                          args[0] == "marker" || args[0] == "calibrate")) {
        mode = args[0];
        args.erase(args.begin());
    }
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-C" || args[i] == "--headless") {
            if (args[i] == "--headless") {
                if (!mode.empty()) break;
                mode = "--headless";
                args.erase(args.begin() + i--);
                continue;
            }
            if (i + 1 >= args.size()) {
                printUsage(argv[0]);
                return 2;
            }
            if (chdir(args[i + 1].c_str()) != 0) {
                std::fprintf(stderr, "quillmark: cannot change to %s: %s\n", args[i + 1].c_str(),
                             std::strerror(errno));
                return 2;
            }
            args.erase(args.begin() + i, args.begin() + i + 2);
            --i;
        }
    }
    if (mode == "--headless") return runHeadless(args);
    if (mode == "detect") return runDetect(args);
    if (mode == "pattern") return runPattern(args);
    if (mode == "marker") return runMarker(args);
    if (mode == "calibrate") return runCalibrate(args);
    for (const auto& a : args) {
        if (a == "-h" || a == "--help") {
            printUsage(argv[0]);
            return 0;
        }
    }
    return runDialog(argc, argv, args);
}
