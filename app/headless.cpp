#include <cstdio>
#include "commands.h"

int runHeadless(const Args&) {
    std::fprintf(stderr, "quillmark: headless mode is not built yet\n");
    return 1;
}
