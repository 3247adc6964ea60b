#include "temp_dir.h"
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quillmark-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    if (!previousDir_.empty()) {
        if (chdir(previousDir_.c_str()) != 0) { /* nothing sensible left to do */ }
    }
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void TempDir::enterWithData() {
    fs::create_directories(fs::path(path_) / "Data");
    previousDir_ = fs::current_path().string();
    fs::current_path(path_);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}
