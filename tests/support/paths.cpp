#include "paths.h"

const std::string& sourceDir() {
    static const std::string path = QUILLMARK_SOURCE_DIR;
    return path;
}

const std::string& quillmarkExe() {
    static const std::string path = QUILLMARK_EXE;
    return path;
}
