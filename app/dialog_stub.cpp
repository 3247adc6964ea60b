#include <cstdio>
#include "commands.h"

int runDialog(int, char** argv, const Args&) {
    std::fprintf(stderr, "quillmark: the operator dialog is not built yet; run %s --headless\n", argv[0]);
    return 1;
}
