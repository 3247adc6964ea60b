// "Data/config.txt": exact bytes written, word-by-word reading, and the
// refusal of values that cannot be read or lie out of range.
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
    s.format = DataFormat{1, 0, 1, 1, 1, 0, 1, 0}; // Name, Pos2d, Dvec, Pos3d, GLmatrix, Cf, Area, Vertex
    s.checkPreview = 1;
    s.defaultPatternWidth = 62.5;
    s.cornerRefine = 1;
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
    "[CornerRefine]        1\n";

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

// Each report field's key, from the fields' table, sets its own switch
// alone and is written back with it.
TEST(ConfigFile, EachReportFieldKeySetsItsOwnSwitch) {
    for (const ReportField& field : REPORT_FIELDS) {
        const Settings s = read(std::string(field.key) + " 1");
        for (const ReportField& other : REPORT_FIELDS)
            EXPECT_EQ(s.format.*other.check, &other == &field ? 1 : 0) << field.key << " set " << other.key;
        EXPECT_NE(text(s).find(std::string(field.key) + std::string(22 - std::string(field.key).size(), ' ') + "1\n"),
                  std::string::npos)
            << field.key;
    }
}

// One refusal per case: the value (or the entry) is skipped with a message
// naming key and value, the setting keeps what it had, and the reading goes
// on to the "[CheckName] 1" after it.
TEST(ConfigFile, AValueThatCannotBeReadOrIsOutOfRangeIsRefusedAlone) {
    const struct {
        const char* words;
        const char* message;  // empty: taken
        IntField member;
        int expected;
    } cases[] = {
        {"[CheckPos3d] yes", "[CheckPos3d] yes is refused: the value must be a whole number from 0 to 1; "
                             "[CheckPos3d] stays 0", &DataFormat::CheckPos3d, 0},
        {"[Port] 99999", "[Port] 99999 is refused: the value must be a whole number from 0 to 65535; [Port] stays 0",
         &Settings::port, 0},
        {"[Port] -1", "[Port] -1 is refused:", &Settings::port, 0},
        {"[Port] 65535", "", &Settings::port, 65535},
        {"[Port] 12abc", "[Port] 12abc is refused:", &Settings::port, 0},
        {"[Port] 7 [Port] 99999999999999999999999", "[Port] 99999999999999999999999 is refused: "
                                                     "the value must be a whole number from 0 to 65535; [Port] stays 7",
         &Settings::port, 7},
        {"[Port]", "[Port] has no value; it is skipped", &Settings::port, 0},
        {"[MaxCameraNum] 0", "[MaxCameraNum] 0 is refused: the value must be a whole number from 1 to 64;",
         &Settings::maxCameraNum, 1},
        {"[MaxCameraNum] 65", "[MaxCameraNum] 65 is refused:", &Settings::maxCameraNum, 1},
        {"[CameraSelected] 3 [MaxCameraNum] 2",
         "[CameraSelected] 3 is refused: the value must be from 0 to 1 while [MaxCameraNum] is 2; [CameraSelected] is 0",
         &Settings::cameraSelected, 0},
        {"[CameraSelected] 63 [MaxCameraNum] 64", "", &Settings::cameraSelected, 63},
        {"[ImageSizeList] 1 2 [ImageSizeSelected] 1",
         "[ImageSizeSelected] 1 is refused: the list holds 1 image size(s), counted from 0; [ImageSizeSelected] is 0",
         &Settings::imageSizeSelected, 0},
        {"[DataFlow] 7", "[DataFlow] 7 is refused: the value must be a whole number from 0 to 1;", &Settings::dataFlow,
         0},
        {"[CheckCf] -1", "[CheckCf] -1 is refused:", &DataFormat::CheckCf, 0},
        {"[CheckPreview] 2", "[CheckPreview] 2 is refused:", &Settings::checkPreview, 0},
        {"[Threshold] 0", "[Threshold] 0 is refused: the value must be a whole number from 1 to 254; "
                          "[Threshold] stays 100", &Settings::threshold, 100},
        {"[Threshold] 254", "", &Settings::threshold, 254},
        {"[AutoThreshold] 2", "[AutoThreshold] 2 is refused: the value must be a whole number from 0 to 1;",
         &Settings::autoThreshold, 0},
        {"[MaxSquares] 501", "[MaxSquares] 501 is refused: the value must be a whole number from 1 to 500;",
         &Settings::maxSquares, 30},
        {"[MaxMarkerArea] 69", "[MaxMarkerArea] 69 is refused: the value must be a whole number from 70 to 268435456;",
         &Settings::maxMarkerArea, 100000},
        {"[CheckStamp] 3", "[CheckStamp] 3 is refused:", &DataFormat::CheckStamp, 0},
        {"[TuioPort] 70000", "[TuioPort] 70000 is refused: the value must be a whole number from 1 to 65535;",
         &Settings::tuioPort, 3333},
        {"[MqttPort] x", "[MqttPort] x is refused:", &Settings::mqttPort, 1883},
        {"[HttpPort] 65536", "[HttpPort] 65536 is refused:", &Settings::httpPort, 0},
        {"[RealCamera] 2", "[RealCamera] 2 is refused: the value must be a whole number from 0 to 1;",
         &Settings::realCamera, 0},
        {"[CommandIdleTimeout] 86401", "[CommandIdleTimeout] 86401 is refused: the value must be a whole number "
                                       "from 0 to 86400;", &Settings::commandIdleTimeout, 60},
        {"[CommandIdleTimeout] 0", "", &Settings::commandIdleTimeout, 0},
    };
    for (const auto& c : cases) {
        std::istringstream in(std::string(c.words) + " [CheckName] 1");
        Settings s;
        const std::vector<std::string> messages = readConfig(in, s);
        EXPECT_EQ(c.member(s), c.expected) << c.words;
        EXPECT_EQ(s.format.CheckName, 1) << c.words << ": the reading goes on";
        if (*c.message) {
            ASSERT_EQ(messages.size(), 1u) << c.words;
            EXPECT_EQ(messages[0].rfind(c.message, 0), 0u) << messages[0];
        } else {
            EXPECT_TRUE(messages.empty()) << c.words << ": " << messages[0];
        }
    }
    Settings s = read("[ImageSizeList] 640 480 [ImageSizeList] 800 x [ImageSizeList] 0 5 [ImageSizeList] 640 "
                      "[DefaultPatternWidth] -3 [CheckArea] 1");
    EXPECT_EQ(s.imageSizeList.size(), 1u) << "refused entries are left out";
    EXPECT_EQ(s.defaultPatternWidth, 80.0);
    EXPECT_EQ(s.format.CheckArea, 1);
}

// A typo in the middle of a user's file costs that key alone: what follows
// is read, and closing writes it back.
TEST(ConfigFile, LoadNamesEachRefusalAndSaveKeepsEverythingElse) {
    TempDir dir;
    dir.enterWithData();
    writeFile("Data/config.txt", std::string(SampleBytes).replace(std::string(SampleBytes).find("[CheckPos3d]          1"),
                                                                  23, "[CheckPos3d]          yes"));
    Settings s;
    std::vector<std::string> warnings;
    testing::internal::CaptureStdout();
    ASSERT_EQ(LoadConfig(s, &warnings), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string message = "Data/config.txt: [CheckPos3d] yes is refused: the value must be a whole number "
                                "from 0 to 1; [CheckPos3d] stays 0.";
    EXPECT_EQ(warnings, std::vector<std::string>{message});
    EXPECT_EQ(out, message + "\n");
    ASSERT_EQ(SaveConfig(s), 0);
    Settings expected = sample();
    expected.format.CheckPos3d = 0;
    EXPECT_EQ(readFile("Data/config.txt"), text(expected));
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

TEST(ConfigFile, OutputKeysFollowTheOthersOnlyWhenAnOutputIsSet) {
    EXPECT_EQ(text(sample()), SampleBytes) << "both outputs off: the file as it always was";
    Settings s = sample();
    s.mqttHost = "broker.lab";
    s.mqttPort = 1884;
    s.mqttPrefix = "lab/table";
    const std::string expected = std::string(SampleBytes) +
                                 "[TuioHost]            -\n"
                                 "[TuioPort]            3333\n"
                                 "[MqttHost]            broker.lab\n"
                                 "[MqttPort]            1884\n"
                                 "[MqttPrefix]          lab/table\n";
    EXPECT_EQ(text(s), expected);
    EXPECT_EQ(text(read(expected)), expected) << "\"-\" reads back as no host";
    EXPECT_TRUE(read(expected).tuioHost.empty());
    s.tuioHost = "10.0.0.7";
    s.tuioPort = 3334;
    const Settings back = read(text(s));
    EXPECT_EQ(back.tuioHost + ":" + std::to_string(back.tuioPort), "10.0.0.7:3334");
    EXPECT_TRUE(mqttTargetOf(back).on());
    EXPECT_EQ(mqttTargetOf(back).prefix, "lab/table");
    // An older file without the keys: both off, the defaults kept.
    EXPECT_FALSE(tuioTargetOf(read(SampleBytes)).on());
}

TEST(ConfigFile, PageKeysComeLastAndOnlyWhenNotDefault) {
    Settings s = sample();
    s.httpPort = 8080;
    EXPECT_EQ(text(s), std::string(SampleBytes) + "[HttpPort]            8080\n");
    s.httpHost = "0.0.0.0";
    const std::string both = std::string(SampleBytes) + "[HttpHost]            0.0.0.0\n[HttpPort]            8080\n";
    EXPECT_EQ(text(s), both);
    EXPECT_EQ(read(both).httpHost + ":" + std::to_string(read(both).httpPort), "0.0.0.0:8080");
    EXPECT_EQ(read(SampleBytes).httpPort, 0) << "an older file leaves the page off";
}

TEST(ConfigFile, OptInsFollowTheSpecifiedKeysAndAnOlderFileLeavesThemOff) {
    // The specified lines come first, unchanged, whatever the opt-ins hold.
    const std::string written = text(sample());
    const std::string specified = written.substr(0, written.find("[CornerRefine]"));
    Settings off = sample();
    off.cornerRefine = 0;
    EXPECT_EQ(text(off), specified) << "off is the default: no line of its own";
    // A file written before the opt-ins existed loads with them off.
    const Settings older = read(specified);
    EXPECT_EQ(older.cornerRefine, 0);
    EXPECT_FALSE(detectorOptionsOf(older).cornerRefine);
    EXPECT_TRUE(detectorOptionsOf(read(written)).cornerRefine);
}

TEST(ConfigFile, DetectorKeysFollowTheSpecifiedOnesOnlyWhenNotDefault) {
    Settings s = sample();
    EXPECT_EQ(text(s), SampleBytes) << "defaults add no line of their own";
    s.threshold = 80;
    s.autoThreshold = 1;
    s.maxSquares = 200;
    s.maxMarkerArea = 400000;
    s.realCamera = 1;
    s.commandIdleTimeout = 5;
    const std::string extra =
        "[Threshold]           80\n"
        "[AutoThreshold]       1\n"
        "[MaxSquares]          200\n"
        "[MaxMarkerArea]       400000\n"
        "[RealCamera]          1\n"
        "[CommandIdleTimeout]  5\n";
    EXPECT_EQ(text(s), SampleBytes + extra);
    EXPECT_EQ(text(read(SampleBytes + extra)), SampleBytes + extra);
    const DetectorOptions o = detectorOptionsOf(s);
    EXPECT_EQ(o.threshold, 80);
    EXPECT_TRUE(o.autoThreshold);
    EXPECT_EQ(o.maxSquares, 200);
    EXPECT_EQ(o.maxMarkerArea, 400000);
    EXPECT_TRUE(o.cornerRefine) << "the sample's [CornerRefine] 1";
    EXPECT_TRUE(o.verifyMarkers) << "[RealCamera] 1";
    EXPECT_FALSE(detectorOptionsOf(sample()).verifyMarkers);
}

TEST(ConfigFile, TuioVolumeKeyFollowsTheOthersOnlyWhenNotDefaultAndARefusedBoxKeepsWhatItHad) {
    Settings s = sample();
    s.tuioVolume = TuioVolume{1000, 800, 200, 1500};
    const std::string written = std::string(SampleBytes) + "[TuioVolume]          1000,800,200,1500\n";
    EXPECT_EQ(text(s), written);
    EXPECT_TRUE(read(written).tuioVolume == s.tuioVolume);
    std::istringstream in("[TuioVolume] 1000,800,900,500 [CheckName] 1");
    Settings refused;
    const std::vector<std::string> messages = readConfig(in, refused);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("[TuioVolume] 1000,800,900,500 is refused:", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find("[TuioVolume] stays 2000,1500,0,2000"), std::string::npos) << messages[0];
    EXPECT_TRUE(refused.tuioVolume == TuioVolume{});
    EXPECT_EQ(refused.format.CheckName, 1);
}

TEST(ConfigFile, StampKeyFollowsTheSpecifiedKeysAndSelectsTheStampLine) {
    const Settings s = read(std::string(SampleBytes) + "[CheckStamp] 1\n");
    EXPECT_EQ(s.format.CheckStamp, 1);
    const std::string written = text(s);
    EXPECT_NE(written.find("62.5\n[CheckStamp]          1\n"), std::string::npos) << written;
    EXPECT_EQ(read(SampleBytes).format.CheckStamp, 0) << "a file without the key stamps nothing";
}

// A misspelt key used to vanish without a word, and its field with it: it
// is named (with the key it most likely means) and written back after the
// specified lines, which stay as they were.
TEST(ConfigFile, AnUnknownKeyIsNamedAndKeptAfterTheSpecifiedLines) {
    std::istringstream in(std::string(SampleBytes) +
                          "[CheckPoss3d] 1\n[checkname] 0\n[FromANewerVersion] a b\n[Bare]\n[Port] 12345\n");
    Settings settings;
    const std::vector<std::string> warnings = readConfig(in, settings);
    ASSERT_EQ(warnings.size(), 4u);
    EXPECT_EQ(warnings[0], "[CheckPoss3d] is not a key of this file (did you mean [CheckPos3d]?); it does nothing, "
                           "and is kept in the file as it is");
    EXPECT_NE(warnings[1].find("[checkname] is not a key of this file (did you mean [CheckName]?)"), std::string::npos);
    EXPECT_EQ(warnings[2].find("(did you mean"), std::string::npos) << warnings[2];
    EXPECT_NE(warnings[3].find("[Bare] is not a key"), std::string::npos);
    EXPECT_EQ(settings.port, 12345) << "a key after an unknown one is read";
    EXPECT_EQ(settings.format.CheckName, 1);
    const std::string written = text(settings);
    EXPECT_EQ(written, std::string(SampleBytes) +
                           "[CheckPoss3d]         1\n[checkname]           0\n[FromANewerVersion]   a b\n[Bare]\n");
    // Read back, the same keys come back, once each.
    Settings again;
    std::istringstream back(written);
    EXPECT_EQ(readConfig(back, again).size(), 4u);
    EXPECT_EQ(text(again), written);
}

TEST(ConfigFile, NodeNameComesAfterTheWorldKeysOnlyWhenSetAndABadOneIsRefusedAlone) {
    Settings s = sample();
    s.worldBody = "Floor";
    s.nodeName = "left";
    const std::string written = std::string(SampleBytes) + "[WorldBody]           Floor\n[NodeName]            left\n";
    EXPECT_EQ(text(s), written);
    EXPECT_EQ(read(written).nodeName, "left");
    EXPECT_EQ(read(SampleBytes).nodeName, "") << "an older file is no node";
    for (const char* bad : {"a/b", "a+b", "#"}) {
        std::istringstream in(std::string("[NodeName] left [NodeName] ") + bad + " [Port] 7");
        Settings kept;
        const std::vector<std::string> refused = readConfig(in, kept);
        ASSERT_EQ(refused.size(), 1u) << bad;
        EXPECT_EQ(refused[0].rfind(std::string("[NodeName] ") + bad + " is refused", 0), 0u) << refused[0];
        EXPECT_EQ(kept.nodeName, "left");
        EXPECT_EQ(kept.port, 7);
    }
}
