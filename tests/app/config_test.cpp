// "Data/config.txt": exact bytes written, word-by-word reading with its
// failure rule, and the treatment of values the controls cannot show.
#include <filesystem>
#include <sstream>
#include <gtest/gtest.h>
#include "config.h"
#include "temp_dir.h"

namespace {

std::string text(const Settings& settings) {
    std::ostringstream out;
    writeConfig(out, settings);
    return out.str();
}

Settings read(const std::string& words) {
    std::istringstream in(words);
    Settings settings;
    readConfig(in, settings);
    return settings;
}

Settings sample() {
    Settings s;
    s.port = 12345;
    s.maxCameraNum = 3;
    s.cameraSelected = 2;
    s.imageSizeList = {{640, 480}, {1280, 720}, {322, 240}};
    s.imageSizeSelected = 1;
    s.dataFlow = 1;
    s.checkName = 1;
    s.checkPos2d = 0;
    s.checkDvec = 1;
    s.checkPos3d = 1;
    s.checkCf = 0;
    s.checkArea = 1;
    s.checkVertex = 0;
    s.checkGLmatrix = 1;
    s.checkPreview = 1;
    s.defaultPatternWidth = 62.5;
    return s;
}

const char* const SampleBytes =
    "[Port]                12345\n"
    "[MaxCameraNum]        3\n"
    "[CameraSelected]      2\n"
    "[ImageSizeList]       640 480\n"
    "[ImageSizeList]       1280 720\n"
    "[ImageSizeList]       322 240\n"
    "[ImageSizeSelected]   1\n"
    "[DataFlow]            1\n"
    "[CheckName]           1\n"
    "[CheckPos2d]          0\n"
    "[CheckDvec]           1\n"
    "[CheckPos3d]          1\n"
    "[CheckCf]             0\n"
    "[CheckArea]           1\n"
    "[CheckVertex]         0\n"
    "[CheckGLmatrix]       1\n"
    "[CheckPreview]        1\n"
    "[DefaultPatternWidth] 62.5\n"
    "[CheckStamp]          0\n";

}  // namespace

TEST(ConfigFile, SaveWritesPaddedKeysInOrderAndLoadReadsThemBack) {
    TempDir dir;
    dir.enterWithData();
    ASSERT_EQ(SaveConfig(sample()), 0);
    EXPECT_EQ(readFile("Data/config.txt"), SampleBytes);

    Settings loaded;
    ASSERT_EQ(LoadConfig(loaded), 0);
    EXPECT_EQ(text(loaded), SampleBytes);
    ASSERT_EQ(SaveConfig(loaded), 0);
    EXPECT_EQ(readFile("Data/config.txt"), SampleBytes);
}

TEST(ConfigFile, PatternWidthUsesTheStreamsDefaultFloatForm) {
    const struct {
        double width;
        const char* written;
    } cases[] = {{80, "80"}, {62.5, "62.5"}, {0.1, "0.1"}, {123.4567, "123.457"}, {1234567, "1.23457e+06"}};
    for (const auto& c : cases) {
        Settings s;
        s.defaultPatternWidth = c.width;
        const std::string t = text(s);
        EXPECT_NE(t.find(std::string("[DefaultPatternWidth] ") + c.written + "\n"), std::string::npos) << t;
    }
}

TEST(ConfigFile, PortAloneOnOneLineOrTwoLeavesEverythingElseDefault) {
    Settings expected;
    expected.port = 5000;
    EXPECT_EQ(text(read("[Port] 5000")), text(expected));
    EXPECT_EQ(text(read("[Port]\n5000\n")), text(expected));
}

TEST(ConfigFile, CrLfLinesReadLikeLfLines) {
    std::string crlf;
    for (const char* p = SampleBytes; *p; ++p) crlf += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
    EXPECT_EQ(text(read(crlf)), SampleBytes);
}

TEST(ConfigFile, RepeatedImageSizesAppendInFileOrder) {
    const Settings s = read(
        "[ImageSizeList] 640 480\n[ImageSizeList] 800 600\n[ImageSizeList] 1024 768\n[ImageSizeSelected] 2\n");
    ASSERT_EQ(s.imageSizeList.size(), 3u);
    EXPECT_EQ(s.imageSizeList[1].width, 800);
    EXPECT_EQ(s.imageSizeList[1].height, 600);
    const ImageSize* selected = selectedImageSize(s);
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(selected->width, 1024);
    EXPECT_EQ(selected->height, 768);
}

TEST(ConfigFile, UnknownWordsAreSkippedAndLaterKeysOverride) {
    const Settings s = read("junk [Port] 1 more words [Port] 2 [port] 3 [DataFlow] 1 Port] 4");
    EXPECT_EQ(s.port, 2);
    EXPECT_EQ(s.dataFlow, 1);
}

TEST(ConfigFile, AValueThatIsNoNumberEndsTheReading) {
    Settings s = read("[MaxCameraNum] 4 [Port] abc [CheckName] 1");
    EXPECT_EQ(s.maxCameraNum, 4);
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(s.checkName, 0);

    s = read("[ImageSizeList] 640 480 [ImageSizeList] 800 x [CheckArea] 1");
    EXPECT_EQ(s.imageSizeList.size(), 1u);
    EXPECT_EQ(s.checkArea, 0);

    s = read("[DefaultPatternWidth] wide [Port] 9");
    EXPECT_EQ(s.defaultPatternWidth, 80.0);
    EXPECT_EQ(s.port, 0);

    // Cut off after the key: nothing to read, nothing changed.
    s = read("[Port] 7 [ImageSizeList] 640");
    EXPECT_EQ(s.port, 7);
    EXPECT_TRUE(s.imageSizeList.empty());
}

TEST(ConfigFile, MissingFileIsReportedAndChangesNothing) {
    TempDir dir;
    dir.enterWithData();
    Settings s = sample();
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadConfig(s), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data/config.txt can not open.\n");
    EXPECT_EQ(text(s), SampleBytes);
}

TEST(ConfigFile, SaveWithoutDataFolderFailsSilently) {
    TempDir dir;
    dir.enterWithData();
    std::filesystem::remove_all("Data");
    testing::internal::CaptureStdout();
    EXPECT_EQ(SaveConfig(sample()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ConfigFile, LoadBringsValuesTheControlsCannotShowIntoRange) {
    TempDir dir;
    dir.enterWithData();
    writeFile("Data/config.txt",
              "[Port] 70000 [MaxCameraNum] 0 [CameraSelected] 3 [ImageSizeSelected] 5 [DataFlow] 7 "
              "[CheckName] 5 [CheckCf] -1 [CheckPreview] 2 [DefaultPatternWidth] -3");
    Settings s;
    ASSERT_EQ(LoadConfig(s), 0);
    EXPECT_EQ(s.port, 70000);  // the server reports a port it cannot use
    EXPECT_EQ(s.maxCameraNum, 1);
    EXPECT_EQ(s.cameraSelected, 0);
    EXPECT_EQ(s.imageSizeSelected, 0);
    EXPECT_EQ(selectedImageSize(s), nullptr);  // no list: no size, and nothing indexes past it
    EXPECT_EQ(s.dataFlow, 0);
    EXPECT_EQ(s.checkName, 1);
    EXPECT_EQ(s.checkCf, 1);
    EXPECT_EQ(s.checkPreview, 1);
    EXPECT_EQ(s.defaultPatternWidth, 80.0);

    writeFile("Data/config.txt",
              "[MaxCameraNum] 1000000 [CameraSelected] 63 [ImageSizeList] 1 2 [ImageSizeList] 3 4 "
              "[ImageSizeSelected] 2 [DefaultPatternWidth] 0");
    s = Settings();
    ASSERT_EQ(LoadConfig(s), 0);
    EXPECT_EQ(s.maxCameraNum, MaxCameraNumLimit);
    EXPECT_EQ(s.cameraSelected, 63);
    EXPECT_EQ(s.imageSizeSelected, 0);
    ASSERT_NE(selectedImageSize(s), nullptr);
    EXPECT_EQ(selectedImageSize(s)->width, 1);
    EXPECT_EQ(s.defaultPatternWidth, 80.0);
}

TEST(ConfigFile, StampKeyFollowsTheSpecifiedKeysAndSelectsTheStampLine) {
    Settings s = read(std::string(SampleBytes) + "[CheckStamp] 3\n");
    EXPECT_EQ(dataFormatOf(s).CheckStamp, 3) << "kept as read until normalized";
    normalizeSettings(s);
    const std::string written = text(s), last = "62.5\n[CheckStamp]          1\n";
    EXPECT_EQ(written.substr(written.size() - last.size()), last);
    EXPECT_EQ(dataFormatOf(read(SampleBytes)).CheckStamp, 0) << "a file without the key stamps nothing";
}
