// Every input a fuzzer once broke on, fed again through the entry point it
// broke, each in a fresh Data/ folder.
#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <vector>
#include "fuzz_entries.h"
#include "temp_dir.h"
#include "paths.h"

namespace fs = std::filesystem;

namespace {

fs::path keptInputsDir() { return fs::path(sourceDir()) / "tests/fuzz/inputs"; }

class KeptFuzzInputs : public testing::TestWithParam<FuzzEntry> {};

std::vector<fs::path> keptInputs(const char* entry) {
    std::vector<fs::path> inputs;
    const fs::path dir = keptInputsDir() / entry;
    if (fs::is_directory(dir)) {
        for (const auto& file : fs::directory_iterator(dir)) inputs.push_back(file.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

TEST_P(KeptFuzzInputs, PassTheirEntryAgain) {
    for (const fs::path& input : keptInputs(GetParam().name)) {
        TempDir dir;
        dir.enterWithData();
        const std::string bytes = readFile(input.string());
        EXPECT_EQ(GetParam().check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "")
            << input.filename();
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, KeptFuzzInputs, testing::ValuesIn(FuzzEntries),
                         [](const testing::TestParamInfo<FuzzEntry>& info) { return std::string(info.param.name); });

TEST(KeptFuzzInputs, EveryFolderNamesAnEntry) {
    for (const auto& dir : fs::directory_iterator(keptInputsDir())) {
        EXPECT_NE(findFuzzEntry(dir.path().filename().string()), nullptr) << dir.path();
    }
}
