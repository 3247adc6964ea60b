// The pattern file: one reader and one writer for every user of the format,
// and the numbered names of a catalogue row's files.
#include <gtest/gtest.h>
#include <string>
#include "paths.h"
#include "pattern_file.h"
#include "render.h"
#include "temp_dir.h"

namespace {

const std::string kShippedData = sourceDir() + "/Data/";

PatternCode codeOf(uint32_t seed) {
    PatternCode code;
    for (int i = 0; i < kPatternValues; ++i) code.value[i] = static_cast<uint8_t>((i * 37 + seed * 101) % 256);
    return code;
}

// The shipped patterns were written by the capture writer and the renderer's
// writer before they shared this module: reading one and writing it again
// must give the same bytes.
TEST(PatternFile, RewritingAShippedPatternGivesItsBytes) {
    TempDir dir;
    for (const char* name : {"000.patt", "001.patt", "002.patt", "003.patt"}) {
        SCOPED_TRACE(name);
        PatternCode codes[kPatternRotations];
        ASSERT_EQ(readPatternFile((kShippedData + name).c_str(), codes), PatternFileRead::Read);
        ASSERT_EQ(writePatternCodes(dir.file(name).c_str(), codes), 0);
        EXPECT_EQ(readFile(dir.file(name)), readFile(kShippedData + name));
    }
}

TEST(PatternFile, WrittenCodesReadBackAndKeepTheLayout) {
    TempDir dir;
    PatternCode codes[kPatternRotations] = {codeOf(1), codeOf(2), codeOf(3), codeOf(4)};
    codes[2].value[(5 * kPatternSide + 0) * kPatternPlanes + 1] = 7; // rotation 2, green, row 5, column 0
    ASSERT_EQ(writePatternCodes(dir.file("p.patt").c_str(), codes), 0);
    PatternCode back[kPatternRotations];
    ASSERT_EQ(readPatternFile(dir.file("p.patt").c_str(), back), PatternFileRead::Read);
    for (int r = 0; r < kPatternRotations; ++r)
        EXPECT_EQ(std::string(back[r].value, back[r].value + kPatternValues),
                  std::string(codes[r].value, codes[r].value + kPatternValues));

    const std::string text = readFile(dir.file("p.patt"));
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), 196u);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].size(), i % 49 == 48 ? 0u : 64u) << "line " << i;
    // Rotation 2 starts at line 98; green is its second block of 16 lines.
    EXPECT_EQ(lines[98 + 16 + 5].substr(0, 4), "   7");
}

TEST(PatternFile, ReadingRefusesWhatIsNotAWholePattern) {
    TempDir dir;
    std::string whole;
    for (int i = 0; i < kPatternRotations * kPatternValues; ++i) whole += std::to_string(i % 256) + (i % 16 == 15 ? "\n" : " ");
    const struct {
        const char* what;
        std::string text;
        PatternFileRead expected;
    } cases[] = {
        {"whole, any white space", whole, PatternFileRead::Read},
        {"CR LF and tabs", "\t" + std::string(whole).replace(whole.find('\n'), 1, "\r\n"), PatternFileRead::Read},
        {"trailing words ignored", whole + "end of file\n", PatternFileRead::Read},
        {"3,071 values", whole.substr(0, whole.rfind(' ')), PatternFileRead::BadData},
        {"a word", "12 x " + whole, PatternFileRead::BadData},
        {"256", "256 " + whole, PatternFileRead::BadData},
        {"-1", "-1 " + whole, PatternFileRead::BadData},
        {"empty", "", PatternFileRead::BadData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir.file("p.patt"), c.text);
        PatternCode codes[kPatternRotations];
        codes[0].value[0] = 99;
        EXPECT_EQ(readPatternFile(dir.file("p.patt").c_str(), codes), c.expected);
        if (c.expected != PatternFileRead::Read) {
            EXPECT_EQ(codes[0].value[0], 99) << "written on failure";
        }
    }
    PatternCode codes[kPatternRotations];
    EXPECT_EQ(readPatternFile(dir.file("missing.patt").c_str(), codes), PatternFileRead::CannotOpen);
    EXPECT_EQ(writePatternCodes(dir.file("no/such/folder.patt").c_str(), codes), -1);
}

// The renderer's image form is the same file: rotation 0 is the image.
TEST(PatternFile, PatternImagesUseTheSameFile) {
    TempDir dir;
    const cv::Mat pattern = makeRandomPattern(5);
    ASSERT_EQ(writePatternImageFile(dir.file("p.patt").c_str(), pattern), 0);
    PatternCode codes[kPatternRotations];
    ASSERT_EQ(readPatternFile(dir.file("p.patt").c_str(), codes), PatternFileRead::Read);
    EXPECT_EQ(codes[0].value[(3 * kPatternSide + 9) * kPatternPlanes + 2], pattern.at<cv::Vec3b>(3, 9)[2]);
    cv::Mat back;
    ASSERT_EQ(readPatternImage(dir.file("p.patt").c_str(), back), 0);
    EXPECT_EQ(cv::norm(back, pattern, cv::NORM_L1), 0.0);
}

TEST(NumberedFiles, NamesAndNumbersAgree) {
    const struct {
        int index;
        const char* extension;
        const char* name;
    } cases[] = {{0, ".patt", "000.patt"}, {7, ".jpg", "007.jpg"}, {42, ".patt", "042.patt"}, {1234, ".jpg", "1234.jpg"}};
    for (const auto& c : cases) {
        EXPECT_EQ(numberedFileName(c.index, c.extension), c.name);
        EXPECT_EQ(numberedFileIndex(c.name, c.extension), c.index);
    }
    EXPECT_EQ(patternFilePath(3), "Data/003.patt");
    EXPECT_EQ(thumbnailFilePath(3), "Data/003.jpg");
    for (const char* other : {"42.patt", "0042.patt", "04a.patt", "042.jpg", "042.patt.bak", ".patt", "-01.patt"})
        EXPECT_EQ(numberedFileIndex(other, ".patt"), -1) << other;
}

} // namespace
