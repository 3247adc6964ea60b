// Damaged Data/ files (truncated, oversized, binary or hostile) through the
// real readers and the real quillmark executable: nothing crashes, every
// refusal names the file, and no file already on disk is changed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <opencv2/imgcodecs.hpp>
#include "camera_param.h"
#include "catalogue.h"
#include "config.h"
#include "detector_state.h"
#include "pattern.h"
#include "render.h"
#include "synthetic_scene.h"
#include "temp_dir.h"
#include "paths.h"

namespace fs = std::filesystem;

namespace {

struct CommandRun {
    bool exited;  // false when a signal ended it
    int status;
    std::string out;
    std::string err;
};

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

// A Data/ folder with the shipped camera, catalogue and patterns, and a
// frame showing the shipped patterns 0 and 2.
class DamagedData : public testing::Test {
protected:
    void SetUp() override {
        dir.enterWithData();
        const fs::path shipped = fs::path(sourceDir()) / "Data";
        for (const char* name : {"camera_para.dat", "pattern_list.txt", "000.patt", "001.patt", "002.patt",
                                 "003.patt", "000.jpg", "001.jpg", "002.jpg", "003.jpg"}) {
            fs::copy_file(shipped / name, fs::path("Data") / name);
        }
        CameraParam camera;
        ASSERT_EQ(loadCameraParam("Data/camera_para.dat", 1, &camera), 0);
        std::vector<PrintedMarker> markers(2);
        for (size_t i = 0; i < markers.size(); ++i) {
            ASSERT_EQ(readPatternImage(i == 0 ? "Data/000.patt" : "Data/002.patt", markers[i].pattern), 0);
            poseFromView(camera, 600.0, 10.0, -15.0, 20.0, 180.0 + 280.0 * i, 240.0, markers[i].transform);
        }
        ASSERT_TRUE(cv::imwrite(dir.file("scene.png"), renderFrame(camera, markers, RenderSettings{})));
    }
    void TearDown() override { resetDetector(); }

    // `prefix` goes before the executable (a limit it runs under, say).
    CommandRun run(const std::string& arguments, const std::string& prefix = "") const {
        const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
        const std::string command = prefix + quillmarkExe() + " " + arguments + " -C " + dir.path() +
                                    " >" + out + " 2>" + err + " </dev/null";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
    }

    CommandRun detect() const { return run("detect --fields name " + dir.file("scene.png")); }

    using Files = std::map<std::string, std::string>;
    // Every file under Data/, by name, with its bytes.
    static Files dataFiles() {
        Files files;
        for (const auto& file : fs::directory_iterator("Data")) {
            files[file.path().filename().string()] = readFile(file.path().string());
        }
        return files;
    }
    // The names of the files under Data/ that differ from `before`, "" when none.
    static std::string changedSince(const Files& before) {
        const Files now = dataFiles();
        std::string changed;
        for (const auto& [name, bytes] : now) {
            auto old = before.find(name);
            if (old == before.end() || old->second != bytes) changed += name + " ";
        }
        for (const auto& entry : before) {
            if (!now.count(entry.first)) changed += entry.first + "(gone) ";
        }
        return changed;
    }

    TempDir dir;
};

// A camera record laid out by hand: sizes, then the sixteen numbers.
std::string cameraRecord(int32_t xsize, int32_t ysize, double number) {
    CameraParam record;
    record.xsize = xsize;
    record.ysize = ysize;
    for (auto& row : record.projection)
        for (double& v : row) v = number;
    for (double& v : record.distortion) v = number;
    TempDir scratch;
    saveCameraParam(scratch.file("record").c_str(), 1, &record);
    return readFile(scratch.file("record"));
}

}  // namespace

TEST_F(DamagedData, TheShippedDataFindBothMarkers) {
    const CommandRun r = detect();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 2\nFlag\nKite\n");
}

TEST_F(DamagedData, TruncatedCameraFileIsRefusedByName) {
    writeFile("Data/camera_para.dat", readFile("Data/camera_para.dat").substr(0, kCameraParamRecordBytes - 1));
    const auto before = dataFiles();
    CameraParam record;
    record.xsize = 7;
    EXPECT_EQ(loadCameraParam("Data/camera_para.dat", 1, &record), -1);
    EXPECT_EQ(record.xsize, 7) << "a short record leaves the caller's untouched";
    const CommandRun r = detect();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Data/camera_para.dat"), std::string::npos) << r.err;
    EXPECT_EQ(changedSince(before), "");
}

TEST_F(DamagedData, BytesAfterTheCameraRecordAreIgnored) {
    writeFile("Data/camera_para.dat", readFile("Data/camera_para.dat") + randomBytes(100000, 1));
    const CommandRun r = detect();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 2\nFlag\nKite\n");
}

TEST_F(DamagedData, HostileCameraRecordsNeverCrashAndAreNamed) {
    const std::string records[] = {
        std::string(kCameraParamRecordBytes, '\xff'),
        std::string(kCameraParamRecordBytes, '\0'),
        randomBytes(kCameraParamRecordBytes, 2),
        cameraRecord(0x7fffffff, 0x7fffffff, 1e300),
        cameraRecord(640, 480, std::numeric_limits<double>::infinity()),
        cameraRecord(640, 480, std::numeric_limits<double>::quiet_NaN()),
        cameraRecord(1, 1, 0.0),
    };
    for (const std::string& record : records) {
        writeFile("Data/camera_para.dat", record);
        const auto before = dataFiles();
        const CommandRun r = detect();
        ASSERT_TRUE(r.exited) << "signal with record " << testing::PrintToString(record);
        if (r.status != 0) {
            EXPECT_NE(r.err.find("Data/camera_para.dat"), std::string::npos) << r.err;
        }
        EXPECT_EQ(changedSince(before), "");
    }
}

// A record that is no camera is refused by name by every command that
// reads it, rather than read as a camera that never finds anything.
TEST_F(DamagedData, ARecordThatIsNoCameraIsRefusedByEveryCommand) {
    CameraParam shipped;
    ASSERT_EQ(loadCameraParam("Data/camera_para.dat", 1, &shipped), 0);
    CameraParam flat = shipped, negative = shipped, unscaled = shipped;
    flat.projection[0][0] = flat.projection[1][1] = 0.0;
    negative.projection[1][1] = -shipped.projection[1][1];
    unscaled.distortion[3] = 0.0;
    const struct {
        CameraParam record;
        const char* problem;
    } cases[] = {{flat, "its focal lengths 0.000000 and 0.000000 are not positive"},
                 {negative, "are not positive"},
                 {unscaled, "its distortion scale 0.000000 is not positive"}};
    for (const auto& c : cases) {
        ASSERT_EQ(saveCameraParam("Data/camera_para.dat", 1, &c.record), 0);
        const auto named = [&c](const std::string& err) {
            return err.find("Data/camera_para.dat holds no usable camera: its ") != std::string::npos &&
                   err.find(c.problem) != std::string::npos;
        };
        const CommandRun r = detect();
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(named(r.err)) << r.err;
        if (&c != &cases[0]) continue;  // the server refuses through the same check
        // Bounded: a server that started anyway would run until stopped.
        const int status = std::system(("timeout 20 " + quillmarkExe() + " --headless --camera synthetic -C " +
                                        dir.path() + " >/dev/null 2>" + dir.file("headless.txt") + " </dev/null")
                                           .c_str());
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_TRUE(named(readFile(dir.file("headless.txt")))) << readFile(dir.file("headless.txt"));
    }
}

TEST_F(DamagedData, PortraitFramesThroughALandscapeRecordAreWarnedAbout) {
    ASSERT_TRUE(cv::imwrite(dir.file("portrait.png"), cv::Mat(640, 480, CV_8UC3, cv::Scalar::all(200))));
    const CommandRun r = run("detect " + dir.file("portrait.png"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: the camera record is for 640x480 images and the frames are 480x640, turned the "
                         "other way"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(": scaled by the width alone"), std::string::npos) << r.err;
    EXPECT_EQ(run("detect " + dir.file("scene.png")).err.find("warning: the camera record"), std::string::npos);
}

TEST_F(DamagedData, HostileCameraRecordsLeaveTheSyntheticCameraFilming) {
    const std::string records[] = {
        cameraRecord(100000, 100000, 1.0),
        cameraRecord(0x7fffffff, 2, 1e300),
        cameraRecord(640, 480, std::numeric_limits<double>::quiet_NaN()),
        cameraRecord(640, 480, std::numeric_limits<double>::infinity()),
        std::string(kCameraParamRecordBytes, '\xff'),
        cameraRecord(64, 48, 0.0),
    };
    for (const std::string& record : records) {
        writeFile("Data/camera_para.dat", record);
        const SyntheticScene scene = SyntheticScene::fromDataDirectory();
        const cv::Mat frame = scene.render(0, nullptr);
        EXPECT_LE(frame.total(), 8192u * 8192u);
        EXPECT_EQ(frame.type(), CV_8UC3);
    }
}

TEST_F(DamagedData, DamagedPatternFileIsNamedAndTheOthersStillFound) {
    const std::string shipped = readFile("Data/000.patt");
    const std::string damaged[] = {
        shipped.substr(0, shipped.size() / 2),
        randomBytes(shipped.size(), 3),
        "99999999999" + shipped,
        "-1" + shipped,
        "256" + shipped.substr(3),
    };
    for (const std::string& bytes : damaged) {
        writeFile("Data/000.patt", bytes);
        resetDetector();
        EXPECT_EQ(loadPatternFile("Data/000.patt"), -1);
        EXPECT_EQ(detectorState().patterns.count, 0) << "a refused file takes no slot";
        const auto before = dataFiles();
        const CommandRun r = detect();
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Num= 1\nKite\n");
        EXPECT_NE(r.err.find("Data/000.patt did not load"), std::string::npos) << r.err;
        EXPECT_EQ(changedSince(before), "");
    }
}

TEST_F(DamagedData, PatternFileWithTrailingBytesStillLoads) {
    writeFile("Data/000.patt", readFile("Data/000.patt") + randomBytes(100000, 4));
    const CommandRun r = detect();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 2\nFlag\nKite\n");
}

TEST_F(DamagedData, BinaryCatalogueIsNamedAndKept) {
    writeFile("Data/pattern_list.txt", randomBytes(5000, 5));
    const auto before = dataFiles();
    CommandRun r = detect();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Data/pattern_list.txt"), std::string::npos) << r.err;
    ASSERT_TRUE(cv::imwrite(dir.file("print.png"), renderMarkerImage(makeRandomPattern(9), 320, 80)));
    r = run("pattern --name New " + dir.file("print.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Data/"), std::string::npos) << r.err;
    EXPECT_EQ(changedSince(before), "");
}

TEST_F(DamagedData, CatalogueWithAnUnreadableWidthIsNamedAndKept) {
    writeFile("Data/pattern_list.txt",
              "[Pattern]\tFlag\tData/000.patt\t80\tuse\n[Pattern]\tFork\tData/001.patt\twide\tuse\n"
              "[Pattern]\tKite\tData/002.patt\t80\tuse\n");
    const auto before = dataFiles();
    CommandRun r = detect();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 1\nFlag\n") << "reading ends at the unreadable width";
    EXPECT_NE(r.err.find("Data/pattern_list.txt"), std::string::npos) << r.err;
    ASSERT_TRUE(cv::imwrite(dir.file("print.png"), renderMarkerImage(makeRandomPattern(9), 320, 80)));
    r = run("pattern --name New " + dir.file("print.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Data/pattern_list.txt"), std::string::npos) << r.err;
    EXPECT_EQ(changedSince(before), "");
}

TEST_F(DamagedData, TruncatedCatalogueNeverOverwritesTheFilesOfLostEntries) {
    writeFile("Data/pattern_list.txt", "[Pattern]\tFlag\tData/000.patt\t80\tuse\n");
    const auto before = dataFiles();
    ASSERT_TRUE(cv::imwrite(dir.file("print.png"), renderMarkerImage(makeRandomPattern(9), 320, 80)));
    const CommandRun r = run("pattern --name New " + dir.file("print.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Data/001.patt"), std::string::npos) << r.err;
    EXPECT_EQ(changedSince(before), "");
}

TEST_F(DamagedData, HugeCatalogueIsReadAndReported) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "[Pattern]\tP" + std::to_string(i) + "\t" + patternFilePath(i) + "\t80\tuse\n";
    writeFile("Data/pattern_list.txt", text);
    Catalogue catalogue;
    ASSERT_EQ(LoadPatternList(catalogue), 0);
    EXPECT_EQ(catalogue.size(), 5000u);
    const CommandRun r = detect();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 2\nP0\nP2\n");
    EXPECT_NE(r.err.find("5000 patterns are catalogued"), std::string::npos) << r.err;
}

TEST_F(DamagedData, BinaryOrCutConfigurationIsNamed) {
    for (const std::string& bytes : {"[Port] " + randomBytes(3000, 6), std::string("[Port] 5000\n[CheckName] "),
                                     std::string("[CheckName] 1\n[DefaultPatternWidth] wide\n")}) {
        writeFile("Data/config.txt", bytes);
        const auto before = dataFiles();
        // Without --fields the report takes its fields from the settings.
        const CommandRun r = run("detect " + dir.file("scene.png"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, 7), "Num= 2\n");
        EXPECT_NE(r.err.find("Data/config.txt"), std::string::npos) << r.err;
        EXPECT_EQ(changedSince(before), "");
    }
}

TEST_F(DamagedData, ConfigurationValuesAfterABadOneAreKept) {
    writeFile("Data/config.txt", "[Port] 5000\n[CheckName] 1\n[CheckPos3d] yes\n[CheckCf] 1\n");
    const CommandRun r = run("detect " + dir.file("scene.png"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 14), "Num= 2\nFlag,0.") << "name and confidence: [CheckCf] after the typo is read";
    EXPECT_NE(r.err.find("Data/config.txt: [CheckPos3d] yes is refused"), std::string::npos) << r.err;
}

// A directory where a file should be opens like a file and then fails to
// read: each one is refused by name, and nothing aborts.
TEST_F(DamagedData, ADirectoryWhereAFileShouldBeIsRefusedByName) {
    ASSERT_TRUE(cv::imwrite(dir.file("print.png"), renderMarkerImage(makeRandomPattern(9), 320, 80)));
    fs::create_directory(dir.file("folder"));
    // Runs the server until it listens, then stops it as Ctrl-C does.
    const std::string serve = "--headless --camera synthetic --port 0 --http 0";
    const struct {
        const char* file;  // under Data/, a directory for the case
        std::string arguments;
        int status;
        const char* named;
    } cases[] = {
        {"config.txt", "detect " + dir.file("scene.png"), 0, "Data/config.txt can not open: it is a directory"},
        {"pattern_list.txt", "detect " + dir.file("scene.png"), 1,
         "Data/pattern_list.txt can not open: it is a directory"},
        {"pattern_list.txt", "pattern " + dir.file("print.png"), 1, "Data/pattern_list.txt"},
        {"pattern_list.txt", serve, 0, "Data/pattern_list.txt can not open: it is a directory"},
        {"camera_para.dat", "detect " + dir.file("scene.png"), 1,
         "Data/camera_para.dat cannot be read: it is a directory"},
        {"000.patt", "detect " + dir.file("scene.png"), 0, "Data/000.patt did not load"},
        {"000.jpg", serve, 0, "Data/000.jpg can not open: it is a directory"},
        {nullptr, "detect " + dir.file("folder"), 1, "folder is a folder, not an image"},
        {nullptr, "calibrate --import " + dir.file("folder"), 1, "folder: it is a directory, not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file ? c.file : "") + " " + c.arguments);
        const fs::path data = fs::path("Data") / (c.file ? c.file : "");
        const std::string kept = c.file ? readFile(data.string()) : "";
        if (c.file) {
            fs::remove(data);
            fs::create_directory(data);
        }
        CommandRun r;
        if (c.arguments == serve) {
            const std::string out = dir.file("stdout.txt");
            const std::string script = quillmarkExe() + " " + serve + " -C " + dir.path() + " >" + out +
                                       " 2>&1 </dev/null & pid=$!; for i in $(seq 600); do grep -q '^Listening' " +
                                       out + " && break; sleep 0.1; done; kill -INT $pid; wait $pid";
            writeFile(dir.file("serve.sh"), script + "\n");
            const int status = std::system(("bash " + dir.file("serve.sh")).c_str());
            r = {WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(out)};
            EXPECT_NE(r.out.find("Listening on port"), std::string::npos) << r.out;
        } else {
            r = run(c.arguments);
        }
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.named), std::string::npos) << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find("terminate called"), std::string::npos);
        if (c.file) {
            EXPECT_TRUE(fs::is_directory(data)) << "left as it was";
            fs::remove(data);
            writeFile(data.string(), kept);
        }
    }
}

// A full disk (here a file-size limit on the real executable) while the
// catalogue is saved: the command says so, and the old file stays whole.
TEST_F(DamagedData, ACatalogueThatCannotBeWrittenWholeLeavesTheOldOneWhole) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "[Pattern]\tP" + std::to_string(i) + "\t" + patternFilePath(i) + "\t80\tuse\n";
    writeFile("Data/pattern_list.txt", text);
    ASSERT_TRUE(cv::imwrite(dir.file("print.png"), renderMarkerImage(makeRandomPattern(9), 320, 80)));
    // Above a pattern file and a thumbnail, below the catalogue.
    const size_t limit = text.size() - 100;
    ASSERT_GT(limit, readFile("Data/000.patt").size());
    const auto before = dataFiles();
    const CommandRun r =
        run("pattern --name New " + dir.file("print.png"), "prlimit --fsize=" + std::to_string(limit) + " ");
    EXPECT_TRUE(r.exited) << "a size limit fails the write, it does not kill the program";
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Data/pattern_list.txt"), std::string::npos) << r.err;
    EXPECT_EQ(readFile("Data/pattern_list.txt"), text);
    EXPECT_EQ(changedSince(before), "") << "no new file beside the old ones";
}
