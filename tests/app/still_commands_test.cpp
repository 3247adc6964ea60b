// The still-image commands through the real executable: register a printed
// marker, find it again at new poses, print a catalogued marker and register
// the print, and the refusals on missing or bad input.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <array>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "detector_state.h"
#include "pattern.h"
#include "render.h"
#include "temp_dir.h"
#include "builders.h"
#include "paths.h"

namespace {

struct CommandRun {
    int status;
    std::string out;
    std::string err;
};

class StillCommands : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("Data"));
        camera = defaultCameraParam();
        ASSERT_EQ(saveCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &camera), 0);
    }
    void TearDown() override { resetDetector(); }

    // Standard output goes to `out` when given (then `out` of the result is empty).
    CommandRun run(const std::string& arguments, std::string out = "") const {
        const std::string err = dir.file("stderr.txt");
        const bool captured = out.empty();
        if (captured) out = dir.file("stdout.txt");
        const std::string command = quillmarkExe() + " " + arguments + " -C " + dir.path() + " >" +
                                    out + " 2>" + err;
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, captured ? readFile(out) : "", readFile(err)};
    }

    // A frame of `pattern` markers seen through the stored camera.
    std::string renderScene(const std::string& name, const cv::Mat& pattern,
                            const std::vector<std::array<double, 6>>& views) const {
        std::vector<PrintedMarker> markers;
        for (const auto& v : views) {
            PrintedMarker m;
            m.pattern = pattern;
            poseFromView(camera, v[0], v[1], v[2], v[3], v[4], v[5], m.transform);
            markers.push_back(m);
        }
        const std::string path = dir.file(name);
        EXPECT_TRUE(cv::imwrite(path, renderFrame(camera, markers, RenderSettings{})));
        return path;
    }

    std::string catalogueText() const { return readFile(dir.file("Data/pattern_list.txt")); }

    TempDir dir;
    CameraParam camera;
};

} // namespace

TEST_F(StillCommands, RegisteredPatternIsFoundUnderItsNameAtNewPoses) {
    const cv::Mat pattern = makeRandomPattern(21);
    const std::string print = dir.file("print.png");
    ASSERT_TRUE(cv::imwrite(print, renderMarkerImage(pattern, 320, 80)));
    CommandRun r = run("pattern --name Seven --width 62.5 " + print);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(catalogueText(), "[Pattern]\tSeven\tData/000.patt\t62.5\tuse\n");
    EXPECT_TRUE(std::filesystem::exists(dir.file("Data/000.jpg")));

    const std::string scene = renderScene("scene.png", pattern, {{400, 25, 0, 100, 180, 200}, {700, -10, 30, -60, 470, 300}});
    r = run("detect --fields name,cf " + scene);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Num= 2");
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(line.substr(0, 6), "Seven,") << line;
        EXPECT_GT(std::stod(line.substr(6)), 0.8) << line;
    }
    EXPECT_FALSE(std::getline(lines, line)) << "only reports on standard output";
    EXPECT_NE(r.err.find("SIZE = 640, 480"), std::string::npos) << "camera print-out on standard error";
}

TEST_F(StillCommands, DetectPrintsOneReportPerImageInOrderAndTakesGreyImages) {
    // Grey blocks, so that the grey copy of the frame still shows the pattern.
    cv::Mat pattern;
    cv::cvtColor(makeRandomPattern(4), pattern, cv::COLOR_BGR2GRAY);
    cv::cvtColor(pattern, pattern, cv::COLOR_GRAY2BGR);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tFour\tData/000.patt\t80\tuse\n");
    const std::string one = renderScene("one.png", pattern, {{600, 0, 0, 0, 320, 240}});
    const std::string none = renderScene("none.png", pattern, {});
    cv::Mat grey;
    cv::cvtColor(cv::imread(one), grey, cv::COLOR_BGR2GRAY);
    // Half size: the camera is scaled to each image.
    cv::resize(grey, grey, cv::Size(320, 240), 0, 0, cv::INTER_AREA);
    ASSERT_TRUE(cv::imwrite(dir.file("grey.png"), grey));

    const CommandRun r = run("detect --repeat 3 --fields name " + one + " " + none + " " + dir.file("grey.png"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 1\nFour\nNum= 0\nNum= 1\nFour\n");
    EXPECT_NE(r.err.find("SIZE = 320, 240"), std::string::npos);
}

// The vertices reported for one marker, against the renderer's truth: the
// root mean square distance in pixels.
double reportedCornerRms(const std::string& report, const MarkerTruth& truth) {
    std::istringstream in(report.substr(report.find('\n') + 1));
    double v[8], sum = 0.0;
    char comma;
    for (int i = 0; i < 8; ++i)
        if (!(in >> v[i]) || (i < 7 && !(in >> comma))) return INFINITY;
    for (int k = 0; k < 4; ++k) sum += std::pow(v[2 * k] - truth.corner[k][0], 2) + std::pow(v[2 * k + 1] - truth.corner[k][1], 2);
    return std::sqrt(sum / 4);
}

TEST_F(StillCommands, RefineFromTheCommandLineOrTheSettingsGivesSubPixelVertices) {
    const cv::Mat pattern = makeRandomPattern(9);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tNine\tData/000.patt\t80\tuse\n");
    PrintedMarker marker;
    marker.pattern = pattern;
    poseFromView(camera, 500, 30, -10, 20, 300, 250, marker.transform);
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    std::vector<MarkerTruth> truth;
    ASSERT_TRUE(cv::imwrite(dir.file("m.png"), renderFrame(camera, {marker}, settings, &truth)));

    const CommandRun plain = run("detect --fields vertex " + dir.file("m.png"));
    const CommandRun flag = run("detect --refine --fields vertex " + dir.file("m.png"));
    // The real-camera choice includes the sub-pixel corners.
    const CommandRun realCamera = run("detect --real-camera --fields vertex " + dir.file("m.png"));
    writeFile(dir.file("Data/config.txt"), "[CheckVertex] 1\n[CornerRefine] 1\n");
    const CommandRun stored = run("detect " + dir.file("m.png"));
    for (const CommandRun* r : {&plain, &flag, &realCamera, &stored}) ASSERT_EQ(r->status, 0) << r->err;
    EXPECT_LT(reportedCornerRms(realCamera.out, truth[0]), 0.1) << realCamera.out;
    const double plainRms = reportedCornerRms(plain.out, truth[0]);
    EXPECT_TRUE(plainRms > 0.3 && plainRms < 1.5) << plain.out; // the contour's bias
    EXPECT_LT(reportedCornerRms(flag.out, truth[0]), 0.1) << flag.out;
    EXPECT_EQ(stored.out, flag.out);
}

TEST_F(StillCommands, DiagnosticsOfABrokenCatalogueStayOffStandardOutput) {
    const cv::Mat pattern = makeRandomPattern(8);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/001.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"),
              "[Pattern]\tGone\tData/000.patt\t80\tuse\n[Pattern]\tEight\tData/001.patt\t80\tuse\n");
    const std::string scene = renderScene("s.png", pattern, {{600, 0, 0, 0, 320, 240}});
    const CommandRun r = run("detect --fields name " + scene);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Num= 1\nEight\n") << "the pattern after a missing one keeps its id";
    EXPECT_NE(r.err.find("\"Data/000.patt\" not found!!"), std::string::npos) << r.err;
}

TEST_F(StillCommands, PrintedMarkerRegistersAsTheSamePattern) {
    const cv::Mat pattern = makeRandomPattern(33);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tOrig\tData/000.patt\t80\tuse\n");
    CommandRun r = run("marker 0 " + dir.file("printed.png"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run("pattern " + dir.file("printed.png"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(catalogueText(),
              "[Pattern]\tOrig\tData/000.patt\t80\tuse\n[Pattern]\tP001\tData/001.patt\t80\tuse\n");

    resetDetector();
    ASSERT_EQ(loadPatternFile(dir.file("Data/000.patt").c_str()), 0);
    cv::Mat registered;
    ASSERT_EQ(readPatternImage(dir.file("Data/001.patt").c_str(), registered), 0);
    int id = -1, dir = -1;
    double cf = 0;
    matchPatternCode(codeOf(registered), &id, &dir, &cf);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(dir, 0) << "printed upright, registered upright";
    EXPECT_GT(cf, 0.9);
}

TEST_F(StillCommands, NamesThatCannotBeStoredAreRefused) {
    const std::string print = dir.file("print.png");
    ASSERT_TRUE(cv::imwrite(print, renderMarkerImage(makeRandomPattern(2), 320, 80)));
    const struct {
        const char *argument, *refusal;
    } names[] = {
        {"'two words'", "--name \"two words\" is refused: a pattern name is one word without commas, with no white"},
        {"''", "--name \"\" is refused: a pattern name is one word without commas, not empty"},
        {"a,b", "--name \"a,b\" is refused: a pattern name is one word without commas, as clients split"},
    };
    for (const auto& name : names) {
        const CommandRun r = run(std::string("pattern --name ") + name.argument + " " + print);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(name.refusal), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("Data/pattern_list.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("Data/000.patt")));
}

TEST_F(StillCommands, ANameAlreadyCataloguedIsAcceptedWithAWarning) {
    const std::string print = dir.file("print.png");
    ASSERT_TRUE(cv::imwrite(print, renderMarkerImage(makeRandomPattern(2), 320, 80)));
    CommandRun r = run("pattern --name Kite " + print);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = run("pattern --name Kite " + print);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("the name \"Kite\" is also the name of pattern 0 (Data/000.patt)"), std::string::npos) << r.err;
    EXPECT_NE(catalogueText().find("[Pattern]\tKite\tData/001.patt"), std::string::npos) << catalogueText();
}

TEST_F(StillCommands, PatternKeepsACatalogueItCannotReadWhole) {
    const std::string broken = "[Pattern]\tA\tData/000.patt\t80\tuse\n[Pattern]\tB\tData/001.patt\twide\tuse\n";
    writeFile(dir.file("Data/pattern_list.txt"), broken);
    const std::string print = dir.file("print.png");
    ASSERT_TRUE(cv::imwrite(print, renderMarkerImage(makeRandomPattern(2), 320, 80)));
    const CommandRun r = run("pattern " + print);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(catalogueText(), broken);
}

TEST_F(StillCommands, DetectRefusesMissingCameraEmptyCatalogueAndUnreadableImages) {
    const std::string scene = renderScene("s.png", makeRandomPattern(1), {});
    const struct {
        const char* catalogue;  // Data/pattern_list.txt from here on; null: as it is
        bool cameraCut;         // Data/camera_para.dat cut to a record of zeros from here on
        std::string image;
        std::vector<std::string> named;
    } cases[] = {
        {nullptr, false, scene, {"Data/pattern_list.txt"}},
        {"[Pattern]\tA\tData/000.patt\t80\tuse\n", false, dir.file("missing.png"), {"missing.png"}},
        {nullptr, true, scene, {"Data/camera_para.dat", "make it with quillmark calibrate"}},
    };
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), makeRandomPattern(1)), 0);
    for (const auto& c : cases) {
        if (c.catalogue) writeFile(dir.file("Data/pattern_list.txt"), c.catalogue);
        if (c.cameraCut) writeFile(dir.file("Data/camera_para.dat"), std::string(135, '\0'));
        const CommandRun r = run("detect " + c.image);
        EXPECT_EQ(r.status, 1) << c.named[0];
        for (const std::string& part : c.named) EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c.named[0];
    }
}

TEST(ShippedData, PrintedDemoMarkersAreFoundUnderTheirNames) {
    const std::string root = sourceDir();
    CameraParam stored, camera;
    ASSERT_EQ(loadCameraParam((root + "/Data/camera_para.dat").c_str(), 1, &stored), 0);
    ASSERT_EQ(scaleCameraParam(stored, 800, 600, camera), 0);

    const char* names[] = {"Flag", "Fork", "Kite", "Hook"};
    std::vector<PrintedMarker> markers;
    for (int i = 0; i < 4; ++i) {
        const cv::Mat print = cv::imread(root + "/docs/markers/" + names[i] + ".png", cv::IMREAD_COLOR);
        ASSERT_FALSE(print.empty()) << names[i];
        PrintedMarker m;
        // The printable image with its margin cut off is exactly the black square.
        const int margin = print.cols / 6;
        m.pattern = print(cv::Rect(margin, margin, print.cols - 2 * margin, print.rows - 2 * margin)).clone();
        m.face = PrintedMarker::WholeSquare;
        poseFromView(camera, 900, 10.0 * i - 15, 20 - 8.0 * i, 70.0 * i + 10, 200 + 400 * (i % 2), 150 + 300 * (i / 2),
                     m.transform);
        markers.push_back(m);
    }
    TempDir dir;
    const std::string scene = dir.file("demo.png");
    ASSERT_TRUE(cv::imwrite(scene, renderFrame(camera, markers, RenderSettings{800, 600})));
    const std::string out = dir.file("out.txt");
    const int status = std::system((quillmarkExe() + " detect -C " + root + " --fields name,pos2d " +
                                    scene + " >" + out + " 2>/dev/null")
                                       .c_str());
    ASSERT_EQ(status, 0);
    std::istringstream lines(readFile(out));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Num= 4");
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find(','));
        const int x = std::stoi(line.substr(name.size() + 1));
        const int y = std::stoi(line.substr(line.rfind(',') + 1));
        const int i = (x > 400) + 2 * (y > 300);
        EXPECT_EQ(name, names[i]) << line;
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(StillCommands, DetectorFlagsReachTheDetectorOverTheSettings) {
    const cv::Mat pattern = makeRandomPattern(12);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tDim\tData/000.patt\t80\tuse\n");
    // The whole frame at a third of its light: the paper is darker than 100.
    const std::string path = renderScene("dim.png", pattern, {{{400, 10, 5, 20, 320, 240}}});
    cv::Mat dim = cv::imread(path);
    dim *= 0.33;
    ASSERT_TRUE(cv::imwrite(path, dim));
    EXPECT_EQ(run("detect --fields name " + path).out, "Num= 0\n");
    EXPECT_EQ(run("detect --fields name --threshold auto " + path).out, "Num= 1\nDim\n");
    writeFile(dir.file("Data/config.txt"), "[AutoThreshold] 1\n");
    EXPECT_EQ(run("detect --fields name " + path).out, "Num= 1\nDim\n") << "the stored setting";
    EXPECT_EQ(run("detect --fields name --threshold 100 " + path).out, "Num= 0\n") << "the flag over the setting";
}

TEST_F(StillCommands, CloseUpsAreLookedAtAgainOnAReducedCopyAndPatternSaysWhatItLookedFor) {
    const std::string closeUp = dir.file("close.png");
    ASSERT_TRUE(cv::imwrite(closeUp, renderMarkerImage(makeRandomPattern(5), 520, 40)));
    CommandRun r = run("pattern " + closeUp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("above the area limit of 100000; it was found on a copy of the image reduced to"),
              std::string::npos)
        << r.err;
    // detect looks again on a reduced copy too, and says so; with the limit
    // opened it finds the marker in the image itself.
    r = run("detect --fields name " + closeUp);
    EXPECT_EQ(r.out, "Num= 1\nP000\n");
    EXPECT_NE(r.err.find("above the area limit of 100000; looked again on a copy reduced to"), std::string::npos)
        << r.err;
    r = run("detect --fields name --max-area 600000 " + closeUp);
    EXPECT_EQ(r.out, "Num= 1\nP000\n");
    EXPECT_EQ(r.err.find("looked again"), std::string::npos) << r.err;
    const std::string blank = dir.file("blank.png");
    ASSERT_TRUE(cv::imwrite(blank, cv::Mat(200, 200, CV_8UC3, cv::Scalar::all(255))));
    r = run("pattern --max-area 5000 " + blank);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("looked for a dark square of 70 to 5000 pixels (threshold 100, 30 candidates at most)"),
              std::string::npos)
        << r.err;
}

TEST_F(StillCommands, DetectSkipsImagesItCannotReadWithOneLineEachAndStampsTheRest) {
    const cv::Mat pattern = makeRandomPattern(5);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tFive\tData/000.patt\t80\tuse\n");
    const std::string one = renderScene("one.png", pattern, {{600, 0, 0, 0, 320, 240}});
    const std::string two = renderScene("two.png", pattern, {{700, 0, 0, 0, 300, 250}});
    writeFile(dir.file("text.png"), "not an image\n");
    const std::string png = readFile(one);
    writeFile(dir.file("cut.png"), png.substr(0, png.size() / 2));

    const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const CommandRun r = run("detect --fields name,stamp " + one + " " + dir.file("missing.png") + " " +
                             dir.file("text.png") + " " + two + " " + dir.file("cut.png"));
    EXPECT_EQ(r.status, 1) << "skipped images are an error at the end";
    std::istringstream out(r.out);
    unsigned long long frames[2] = {0, 0};
    double times[2] = {0, 0};
    std::string rest;
    for (int i = 0; i < 2; ++i) {
        std::string stamp, header, name;
        ASSERT_TRUE(std::getline(out, stamp) && std::getline(out, header) && std::getline(out, name)) << r.out;
        ASSERT_EQ(std::sscanf(stamp.c_str(), "Stamp= %llu %lf", &frames[i], &times[i]), 2) << stamp;
        EXPECT_EQ(header + " " + name, "Num= 1 Five");
        EXPECT_GE(times[i], before);
        EXPECT_LT(times[i], before + 30);
    }
    EXPECT_FALSE(std::getline(out, rest)) << "one report per readable image: " << r.out;
    EXPECT_EQ(frames[0], 1u);
    EXPECT_EQ(frames[1], 4u) << "images are numbered by their place among the arguments";
    EXPECT_LE(times[0], times[1]);

    for (const char* name : {"missing.png", "text.png", "cut.png"}) {
        const std::string skipped = dir.file(name);
        EXPECT_NE(r.err.find(skipped), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(skipped), r.err.rfind(skipped)) << "named once: " << r.err;
    }
    EXPECT_NE(r.err.find(one + ": 640x480\n"), std::string::npos) << "each image named before its diagnostics";
    EXPECT_EQ(r.err.find("SIZE = 640, 480"), r.err.rfind("SIZE = 640, 480")) << "the camera once per size";
    for (const char* foreign : {"WARN", "libpng", "imread"}) EXPECT_EQ(r.err.find(foreign), std::string::npos) << r.err;
}

// Results that cannot be written whole end in a message naming what failed
// and exit status 1: standard output on a full disk, a print onto one.
TEST_F(StillCommands, FailedWritesAreNamedAndEndInFailure) {
    const cv::Mat pattern = makeRandomPattern(6);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tSix\tData/000.patt\t80\tuse\n");
    const std::string scene = renderScene("s.png", pattern, {{600, 0, 0, 0, 320, 240}});
    for (const char* name : {"full.png", "full.pdf"}) std::filesystem::create_symlink("/dev/full", dir.file(name));
    const struct {
        std::string args, out, message;
    } cases[] = {
        {"detect " + scene, "/dev/full", "cannot write the results of " + scene + " to standard output: No space"},
        {"detect --json " + scene, "/dev/full", "cannot write the results of " + scene},
        {"marker 0 " + dir.file("full.png"), "", "quillmark marker: cannot write " + dir.file("full.png") + ": No space"},
        {"marker 0 --pdf " + dir.file("full.pdf"), "", "quillmark marker: cannot write " + dir.file("full.pdf")},
        {"marker 0 " + dir.file("fine.png"), "/dev/full", "quillmark marker: cannot write to standard output"},
        {"calibrate --board 9x6 --square 25 --pdf " + dir.file("full.pdf"), "", "cannot write " + dir.file("full.pdf")},
        {"--help", "/dev/full", ""},
    };
    for (const auto& c : cases) {
        const CommandRun r = run(c.args, c.out);
        EXPECT_EQ(r.status, 1) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
}

// detect --json: one object a line per image read, naming the file and its
// size, with the markers in the fields of the MQTT and WebSocket JSON.
TEST_F(StillCommands, DetectJsonNamesEachImageWithItsMarkers) {
    const cv::Mat pattern = makeRandomPattern(7);
    ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), pattern), 0);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tSe\"ven\tData/000.patt\t80\tuse\n");
    const std::string one = renderScene("one.png", pattern, {{600, 0, 0, 0, 320, 240}});
    const std::string none = renderScene("no \"marker\".png", pattern, {});
    const CommandRun r = run("detect --json " + one + " '" + none + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    writeFile(dir.file("lines.json"), r.out);
    const std::string read = dir.file("read.txt");
    const std::string python =
        "import json, sys\n"
        "for line in open(sys.argv[1]):\n"
        "    o = json.loads(line)\n"
        "    print(o['image'], o['width'], o['height'], o['frame'], [(m['name'], m['id'], len(m['pos3d']),"
        " len(m['matrix']), m['cf'] > 0.8) for m in o['markers']])\n";
    writeFile(dir.file("read.py"), python);
    ASSERT_EQ(std::system(("python3 " + dir.file("read.py") + " " + dir.file("lines.json") + " >" + read).c_str()), 0)
        << r.out;
    EXPECT_EQ(readFile(read), one + " 640 480 1 [('Se\"ven', 0, 3, 16, True)]\n" + none + " 640 480 2 []\n") << r.out;
    EXPECT_NE(run("detect --json --fields name " + one).err.find("--fields excludes --json"), std::string::npos);
}
