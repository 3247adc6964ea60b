// The usage text, one block per command, so that each command's --help
// prints its own block and an option is documented by adding one line.
#include <cstdio>
#include "commands.h"

namespace {

void printFieldWords(FILE* out) {
    std::fprintf(out,
                 "  LIST is a comma list of name, pos2d, dvec, pos3d, glmatrix, cf, area, vertex and stamp\n"
                 "  (a \"Stamp= <frame> <time>\" line before each report); all is the eight marker fields,\n"
                 "  none is no field; either stands alone or with stamp, e.g. all,stamp.\n");
}

// The detector's opt-in switches, taken by --headless, detect and pattern.
void printDetectorFlags(FILE* out) {
    std::fprintf(out,
                 "  --threshold N|auto       fixed threshold 1 to 254 (default 100), or one that follows the light\n"
                 "  --max-squares N          square candidates a frame, 1 to 500 (default 30)\n"
                 "  --max-area N             largest dark region in pixels (default 100000)\n");
}

void printDialogUsage(FILE* out) {
    std::fprintf(out,
                 "usage: quillmark [-C DIR]\n"
                 "  The operator dialog. Data/ of the working directory holds every file.\n"
                 "  -C DIR                   change to DIR first (every command takes it)\n"
                 "  -h, --help               this text; after a command, that command's usage\n");
}

void printHeadlessUsage(FILE* out) {
    std::fprintf(out,
                 "usage: quillmark --headless [-C DIR] [OPTION...]\n"
                 "  The server without a window, on the settings of Data/config.txt; SIGINT or SIGTERM stops it.\n"
                 "  --port N                 TCP port, 0 to 65535 (0: the system picks one)\n"
                 "  --mode automatic|command push reports every 33 ms, or answer commands\n"
                 "  --fields LIST            the fields of each report line\n"
                 "  --camera SOURCE          synthetic, v4l2:N, file:PATH or aravis[:ID];\n"
                 "                           list: print the sources found; none: serve an empty table\n"
                 "  --preview                show the Preview window (needs a display)\n"
                 "  --watch                  print the Output text a few times a second\n"
                 "  --refine                 sub-pixel corners ([CornerRefine] 1)\n"
                 "  --tuio HOST[:PORT]       also send TUIO 1.1 over UDP (port 3333 by default)\n"
                 "  --mqtt HOST[:PORT][/PREFIX] also publish to an MQTT broker (1883, prefix quillmark)\n"
                 "  --http [HOST:]PORT       serve the operator page and WebSocket feed (host 127.0.0.1)\n"
                 "  --http-image W[,Q]       the page's image at most W pixels wide, JPEG quality Q (640,75)\n");
    printDetectorFlags(out);
    printFieldWords(out);
}

void printCameraListUsage(FILE* out) {
    std::fprintf(out,
                 "usage: quillmark [--headless] --camera list\n"
                 "  Print the camera sources found and end.\n");
}

void printDetectUsage(FILE* out) {
    std::fprintf(out,
                 "usage: quillmark detect [-C DIR] [OPTION...] IMAGE...\n"
                 "  The report a client would receive, for each image in turn, on standard output.\n"
                 "  --fields LIST            the fields of each report line (default: Data/config.txt's, or all)\n"
                 "  --repeat N               detect N times per image and print the time per frame\n"
                 "  --refine                 sub-pixel corners ([CornerRefine] 1)\n");
    printDetectorFlags(out);
    printFieldWords(out);
}

void printPatternUsage(FILE* out) {
    std::fprintf(out,
                 "usage: quillmark pattern [-C DIR] [OPTION...] IMAGE\n"
                 "  Register the largest square of IMAGE as the next catalogue pattern.\n"
                 "  --name NAME              its name (default P followed by its number, e.g. P004)\n"
                 "  --width MM               its printed width in millimetres (default [DefaultPatternWidth])\n");
    printDetectorFlags(out);
}

void printMarkerUsage(FILE* out) {
    std::fprintf(out,
                 "usage: quillmark marker [-C DIR] N OUT.png [--dpi N]\n"
                 "       quillmark marker [-C DIR] N --pdf OUT.pdf [--page a4|letter]\n"
                 "  Draw catalogue pattern N at its catalogue width: an image whose stored resolution\n"
                 "  (--dpi, default 300) prints it at that width at 100 %%, or a PDF page.\n");
}

void printCalibrateUsage(FILE* out) { std::fputs(calibrateUsage(), out); }

struct CommandUsage {
    const char* command;
    void (*print)(FILE*);
};

// In the order the full usage lists them; "" is the dialog.
const CommandUsage Usages[] = {
    {"", printDialogUsage},         {"--headless", printHeadlessUsage}, {"--camera list", printCameraListUsage},
    {"detect", printDetectUsage},   {"pattern", printPatternUsage},    {"marker", printMarkerUsage},
    {"calibrate", printCalibrateUsage},
};

}  // namespace

void printUsage(FILE* out) {
    const char* separator = "";
    for (const CommandUsage& usage : Usages) {
        std::fputs(separator, out);
        usage.print(out);
        separator = "\n";
    }
}

void printCommandUsage(const std::string& command, FILE* out) {
    for (const CommandUsage& usage : Usages) {
        if (command == usage.command) {
            usage.print(out);
            return;
        }
    }
    printUsage(out);
}
