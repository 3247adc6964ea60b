#include <cstdio>
#include "commands.h"

int runDetect(const Args&) {
    std::fprintf(stderr, "quillmark: detect is not built yet\n");
    return 1;
}
int runPattern(const Args&) {
    std::fprintf(stderr, "quillmark: pattern is not built yet\n");
    return 1;
}
int runMarker(const Args&) {
    std::fprintf(stderr, "quillmark: marker is not built yet\n");
    return 1;
}
