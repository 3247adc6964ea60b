// A libFuzzer target for the entry QUILLMARK_FUZZ_ENTRY names. Each input is
// checked inside a scratch folder of its own, so the files it writes under
// Data/ never touch a real one; between inputs the process is back in its
// starting folder, where libFuzzer's relative corpus paths point.
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include "fuzz_entries.h"

namespace {

std::string ScratchDir;
int ScratchFd = -1;
int StartFd = -1;

void enter(int fd) {
    if (fchdir(fd) != 0) {
        std::perror("quillmark fuzz: fchdir");
        std::abort();
    }
}

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(ScratchDir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("quillmark fuzz: mkdtemp");
        std::abort();
    }
    ScratchDir = pattern;
    std::atexit(removeScratch);
    std::filesystem::create_directory(ScratchDir + "/Data");
    ScratchFd = open(ScratchDir.c_str(), O_RDONLY | O_DIRECTORY);
    StartFd = open(".", O_RDONLY | O_DIRECTORY);
    if (ScratchFd < 0 || StartFd < 0) {
        std::perror("quillmark fuzz: open");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FuzzEntry* const entry = findFuzzEntry(QUILLMARK_FUZZ_ENTRY);
    if (!entry) {
        std::fprintf(stderr, "quillmark fuzz: no entry named %s\n", QUILLMARK_FUZZ_ENTRY);
        std::abort();
    }
    enter(ScratchFd);
    const std::string problem = entry->check(data, size);
    enter(StartFd);
    if (!problem.empty()) {
        std::fprintf(stderr, "quillmark fuzz %s: %s\n", entry->name, problem.c_str());
        std::abort();
    }
    return 0;
}
