// Writes the seed corpora of the fuzz targets, each a known-good input made
// by the project's own writers and renderer (and the shipped Data/ files,
// which those writers made too).
//   make_fuzz_corpus OUT_DIR      (one folder per entry under OUT_DIR)
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <opencv2/core/persistence.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "catalogue.h"
#include "config.h"
#include "fuzz_entries.h"
#include "node_messages.h"
#include "render.h"

namespace fs = std::filesystem;

namespace {

const fs::path ShippedData = fs::path(QUILLMARK_SOURCE_DIR) / "Data";

void writeSeed(const fs::path& dir, const std::string& name, const std::string& bytes) {
    std::ofstream out(dir / name, std::ios::binary);
    out << bytes;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void appendDouble(std::string& out, double value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof bytes);
}

// Format switches, then a table of two markers, then what the client sends.
void commandDialogueSeeds(const fs::path& dir) {
    std::string table(1, '\xff');
    table += '\x02';
    for (const char* name : {"Flag", "Kite"}) {
        table += static_cast<char>(std::strlen(name));
        table += name;
        for (double v : {320.5, 240.25, 0.6, -12.5, 0.875, 1.0, 300.0}) appendDouble(table, v);
        table += "\x10\x02";
    }
    const char* const dialogues[] = {
        "all\n", "get Flag\n", "get Kite extra\nget\n", "help\n", "ALL\n\nall\n", "   all now\r\n",
        "exit\nall\n", "quit\n", "al", "get Flag\nhelp\nall\nget Nothing\nexit\n",
    };
    int n = 0;
    for (const char* dialogue : dialogues) writeSeed(dir, "seed-" + std::to_string(n++), table + dialogue);
}

void configSeeds(const fs::path& dir) {
    Settings settings;
    std::ostringstream defaults;
    writeConfig(defaults, settings);
    writeSeed(dir, "defaults", defaults.str());

    settings.port = 5000;
    settings.maxCameraNum = 3;
    settings.cameraSelected = 2;
    settings.imageSizeList = {{640, 480}, {1280, 960}};
    settings.imageSizeSelected = 1;
    settings.dataFlow = 1;
    settings.format.CheckName = settings.format.CheckPos2d = settings.format.CheckVertex = settings.checkPreview = 1;
    settings.defaultPatternWidth = 62.5;
    std::ostringstream full;
    writeConfig(full, settings);
    writeSeed(dir, "full", full.str());

    std::string crlf;
    for (char c : full.str()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    writeSeed(dir, "crlf", crlf);

    // Values refused alone: a typo in the middle, values out of range, a key
    // without its value.
    std::string typo = full.str();
    typo.replace(typo.find("[CheckName]           1"), 23, "[CheckName]           yes");
    writeSeed(dir, "typo", typo);
    writeSeed(dir, "out-of-range",
              "[Port] 99999\n[MaxCameraNum] 0\n[CameraSelected] 9\n[ImageSizeList] 0 5\n[ImageSizeList] 640 x\n"
              "[ImageSizeSelected] 4\n[DataFlow] -1\n[CheckCf] 2\n[DefaultPatternWidth] -3\n[Threshold] 0\n"
              "[TuioPort] 70000\n[MqttPort] -1\n[Port]\n[CheckArea] 1\n");
}

void catalogueSeeds(const fs::path& dir) {
    writeSeed(dir, "shipped", fileBytes(ShippedData / "pattern_list.txt"));
    Catalogue catalogue;
    for (int i = 0; i < 3; ++i) {
        PatternEntry entry;
        entry.index = i;
        entry.name = "P00" + std::to_string(i);
        entry.path = patternFilePath(i);
        entry.width = 40.0 + 20.5 * i;
        entry.inUse = i != 1;
        catalogue.push_back(entry);
    }
    // SavePatternList writes under Data/ of the working directory.
    const fs::path scratch = fs::temp_directory_path() / ("quillmark-corpus-" + std::to_string(getpid()));
    fs::create_directories(scratch / "Data");
    const fs::path previous = fs::current_path();
    fs::current_path(scratch);
    const bool saved = SavePatternList(catalogue) == 0;
    fs::current_path(previous);
    if (saved) writeSeed(dir, "three", fileBytes(scratch / "Data/pattern_list.txt"));
    fs::remove_all(scratch);
}

void patternSeeds(const fs::path& dir) {
    for (int i = 0; i < 4; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.patt", i);
        if (fs::exists(ShippedData / name)) writeSeed(dir, std::string("shipped-") + name, fileBytes(ShippedData / name));
    }
    const fs::path path = dir / "random.patt";
    writePatternImageFile(path.c_str(), makeRandomPattern(7));
}

void cameraSeeds(const fs::path& dir) {
    writeSeed(dir, "shipped", fileBytes(ShippedData / "camera_para.dat"));
    const CameraParam two[2] = {defaultCameraParam(), makeCameraParam(1280, 720, 1000.0, 20.0)};
    saveCameraParam((dir / "two-records").c_str(), 2, two);
}

// OpenCV's own YAML and XML, as its calibration writes them, and ROS
// camera_info files with each lens model.
void calibrationSeeds(const fs::path& dir) {
    const cv::Matx33d K(612.5, 0, 318.2, 0, 610.1, 243.7, 0, 0, 1);
    for (const char* name : {"opencv.yml", "opencv.xml"}) {
        cv::FileStorage fs(name, cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
        fs << "image_width" << 640 << "image_height" << 480 << "camera_matrix" << cv::Mat(K)
           << "distortion_coefficients" << cv::Mat(cv::Matx<double, 5, 1>(-0.12, 0.03, 0.001, -0.002, 0));
        writeSeed(dir, name, fs.releaseAndGetString());
    }
    const struct {
        const char* name;
        const char* model;
        const char* coefficients;
    } ros[] = {{"ros-plumb-bob.yaml", "plumb_bob", "[-0.12, 0.03, 0.001, -0.002, 0]"},
               {"ros-rational.yaml", "rational_polynomial", "[-0.12, 0.03, 0.001, -0.002, 0, 0.1, 0, 0.02]"},
               {"ros-equidistant.yaml", "equidistant", "[-0.01, 0.002, 0.0003, 0]"}};
    for (const auto& r : ros) {
        writeSeed(dir, r.name,
                  std::string("image_width: 640\nimage_height: 480\ncamera_name: webcam\n"
                              "camera_matrix:\n  rows: 3\n  cols: 3\n"
                              "  data: [612.5, 0, 318.2, 0, 610.1, 243.7, 0, 0, 1]\n"
                              "distortion_model: ") +
                      r.model + "\ndistortion_coefficients:\n  rows: 1\n  cols: " +
                      std::to_string(1 + std::count(r.coefficients, r.coefficients + std::strlen(r.coefficients), ',')) +
                      "\n  data: " + r.coefficients + "\n");
    }
}

// Width and height (little-endian 16 bits, taken modulo the entry's ranges)
// and the BGR pixels of a rendered frame.
void detectorSeeds(const fs::path& dir) {
    CameraParam stored;
    if (loadCameraParam((ShippedData / "camera_para.dat").c_str(), 1, &stored) != 0) stored = defaultCameraParam();
    std::vector<cv::Mat> patterns;
    for (int i = 0; i < 4; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.patt", i);
        cv::Mat pattern;
        if (readPatternImage((ShippedData / name).c_str(), pattern) == 0) patterns.push_back(pattern);
    }
    struct View { int width, height, markers; double noise, blur; int clutter; };
    const View views[] = {{160, 120, 1, 0.0, 0.0, 0}, {160, 120, 2, 2.0, 0.6, 2}, {96, 72, 1, 0.0, 0.0, 0},
                          {200, 150, 4, 4.0, 1.0, 3}};
    int n = 0;
    for (const View& v : views) {
        CameraParam camera;
        scaleCameraParam(stored, v.width, v.height, camera);
        std::vector<PrintedMarker> markers;
        for (int i = 0; i < v.markers && !patterns.empty(); ++i) {
            PrintedMarker marker;
            marker.pattern = patterns[static_cast<size_t>(i) % patterns.size()];
            const int columns = v.markers > 1 ? 2 : 1;
            const int rows = (v.markers + columns - 1) / columns;
            const double x = (i % columns + 0.5) * v.width / columns;
            const double y = (i / columns + 0.5) * v.height / rows;
            const double sidePx = 0.4 * std::min(v.width / columns, v.height / rows);
            poseFromView(camera, camera.projection[0][0] * 80.0 / sidePx, 15.0, -10.0, 25.0 * i, x, y,
                         marker.transform);
            markers.push_back(marker);
        }
        RenderSettings settings;
        settings.width = v.width;
        settings.height = v.height;
        settings.noiseSigma = v.noise;
        settings.blurSigmaPx = v.blur;
        settings.clutterCount = v.clutter;
        settings.seed = static_cast<uint32_t>(n + 1);
        const cv::Mat bgr = renderFrame(camera, markers, settings);
        std::string bytes;
        for (int size : {v.width - 8, v.height - 8}) {
            bytes += static_cast<char>(size & 0xff);
            bytes += static_cast<char>(size >> 8);
        }
        bytes.append(reinterpret_cast<const char*>(bgr.data), bgr.total() * 3);
        writeSeed(dir, "frame-" + std::to_string(n++), bytes);
    }
}

}  // namespace

// A frame with two markers and a world pose, one without, and a camera.
void nodeMessageSeeds(const fs::path& dir) {
    NodeFrame frame;
    frame.node = "left";
    frame.frame = 1234;
    frame.time = 1765180800.0333;
    frame.width = 640;
    frame.height = 480;
    frame.camera = NodeWorldPose{{535, -40, 495}, {0.5, -0.5, 0.5, 0.5}};
    frame.markers.push_back({"Flag", 0, 0.92, {{300, 220}, {340, 221}, {341, 260}, {299, 259}}});
    frame.markers.push_back({"Floor_1", 1, 0.8, {{10.5, 400}, {60, 402}, {58, 450.25}, {9, 448}}});
    writeSeed(dir, "frame", nodeFrameJson(frame));
    frame.camera.reset();
    frame.markers.resize(1);
    writeSeed(dir, "frame-no-world-pose", nodeFrameJson(frame));
    writeSeed(dir, "camera", nodeCameraJson({"left", 640, 480, {{800, 0, 320, 0}, {0, 800, 240, 0}, {0, 0, 1, 0}}}));
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus OUT_DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    void (*const makers[])(const fs::path&) = {commandDialogueSeeds, configSeeds, catalogueSeeds,
                                                patternSeeds, cameraSeeds, detectorSeeds, calibrationSeeds,
                                                nodeMessageSeeds};
    static_assert(sizeof makers / sizeof makers[0] == sizeof FuzzEntries / sizeof FuzzEntries[0]);
    for (size_t i = 0; i < sizeof makers / sizeof makers[0]; ++i) {
        const fs::path dir = out / FuzzEntries[i].name;
        fs::create_directories(dir);
        makers[i](dir);
    }
    return 0;
}
