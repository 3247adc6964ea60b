// Phantom markers: Quillmark on pictures that hold no marker at all, against
// a catalogue of 200 patterns (100 AprilTag 36h11 codes drawn by the
// installed AprilTag library and 100 ArUco 6x6 codes drawn by OpenCV's aruco
// module, each registered from its flat image as `quillmark pattern` does).
//
//   negative [photo folder] [sample photo folder]
//
// The pictures: the checkerboard-only views of the real photos (default
// ../shared/realphotos, folders named "calibration"), the sample photographs
// of Debian's python3-skimage (default /usr/lib/python3/dist-packages/
// skimage/data), and renders by the project's renderer of chessboards, tiled
// walls, dark windows in a facade and printed text. The detector's table
// holds 50 patterns, so each picture is searched four times, once per
// quarter of the catalogue; a report is one position reported in any of them.
//
// Per source and configuration it prints the phantom reports (confidence of
// at least 0.6, the report's cut), per 100 pictures, and the detector's
// processor time per picture with one quarter loaded. NEGATIVE_VERBOSE=1
// lists every phantom.
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <opencv2/aruco.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "detect_markers.h"
#include "detector_state.h"
#include "pattern_writer.h"
#include "render.h"
#include "squares.h"
#include "tag_family.h"

namespace fs = std::filesystem;

namespace {

constexpr int kPerFamily = 100;
constexpr int kQuarters = 4;
constexpr double kReportCut = 0.6;

struct Picture {
    std::string source, name;
    cv::Mat bgr;
    bool rendered;
};

struct Config {
    const char* name;
    DetectorOptions options;
};

bool verbose() {
    static const bool on = std::getenv("NEGATIVE_VERBOSE") != nullptr;
    return on;
}

double threadMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}

bool isImage(const fs::path& p) {
    std::string e = p.extension().string();
    std::transform(e.begin(), e.end(), e.begin(), ::tolower);
    return e == ".jpg" || e == ".jpeg" || e == ".png";
}

// Pattern files Data/q/NNN.patt, quarter q holding catalogue rows 50q..50q+49.
std::vector<std::string> registerCatalogue(const fs::path& dir, std::vector<std::string>& names) {
    std::vector<cv::Mat> flats;
    const TagFamily family;
    for (int id = 0; id < kPerFamily; ++id) {
        flats.push_back(renderMarkerImage(family.image(id), 160, 40, PrintedMarker::WholeSquare));
        names.push_back("tag36h11-" + std::to_string(id));
    }
    const auto aruco = cv::aruco::getPredefinedDictionary(cv::aruco::DICT_6X6_250);
    for (int id = 0; id < kPerFamily; ++id) {
        cv::Mat square;
        cv::aruco::drawMarker(aruco, id, 8, square, 1);
        flats.push_back(renderMarkerImage(square, 160, 40, PrintedMarker::WholeSquare));
        names.push_back("aruco6x6-" + std::to_string(id));
    }
    std::vector<std::string> paths;
    for (size_t i = 0; i < flats.size(); ++i) {
        char file[64];
        std::snprintf(file, sizeof file, "%03zu.patt", i);
        const fs::path path = dir / file;
        std::string error;
        if (registerLargestSquare(flats[i], path.string(), (dir / "thumb.jpg").string(), error) < 0) {
            std::fprintf(stderr, "negative: %s not registered: %s\n", names[i].c_str(), error.c_str());
            std::exit(1);
        }
        paths.push_back(path.string());
    }
    return paths;
}

void loadQuarter(const std::vector<std::string>& paths, int quarter) {
    PatternTable& table = detectorState().patterns;
    table = PatternTable{};
    for (int i = 0; i < kPatternSlots; ++i) loadPatternFile(paths[quarter * kPatternSlots + i].c_str());
}

// ---------------------------------------------------------------------------
// Renders

cv::Mat tiledWall(uint32_t seed) {
    cv::RNG rng(seed);
    const int tiles = 8 + static_cast<int>(rng.uniform(0, 6)), cell = 9;
    cv::Mat wall(tiles * (cell + 1) + 1, tiles * (cell + 1) + 1, CV_8UC3, cv::Scalar::all(225));
    for (int r = 0; r < tiles; ++r)
        for (int c = 0; c < tiles; ++c) {
            const int grey = rng.uniform(20, 70);
            const cv::Scalar tile(grey, grey + rng.uniform(0, 15), grey + rng.uniform(0, 25));
            cv::rectangle(wall, cv::Rect(1 + c * (cell + 1), 1 + r * (cell + 1), cell, cell), tile, cv::FILLED);
        }
    return wall;
}

cv::Mat facade(uint32_t seed) {
    cv::RNG rng(seed);
    cv::Mat wall(200, 200, CV_8UC3, cv::Scalar(200, 210, 220));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const cv::Rect pane(14 + c * 48, 14 + r * 48, 28 + rng.uniform(0, 6), 28 + rng.uniform(0, 6));
            const int grey = rng.uniform(10, 60);
            cv::rectangle(wall, pane, cv::Scalar::all(grey), cv::FILLED);
            if (rng.uniform(0, 3) == 0) { // a window frame's cross
                cv::line(wall, {pane.x + pane.width / 2, pane.y}, {pane.x + pane.width / 2, pane.y + pane.height},
                         cv::Scalar::all(200), 2);
                cv::line(wall, {pane.x, pane.y + pane.height / 2}, {pane.x + pane.width, pane.y + pane.height / 2},
                         cv::Scalar::all(200), 2);
            }
        }
    return wall;
}

cv::Mat printedText(uint32_t seed) {
    cv::RNG rng(seed);
    cv::Mat page(300, 300, CV_8UC3, cv::Scalar::all(240));
    const char* words[] = {"Quillmark", "MARKER", "no tag here", "0123456789", "HELLO", "Tracking", "# [] []"};
    for (int line = 0; line < 7; ++line)
        cv::putText(page, words[(line + seed) % 7], {8, 36 + line * 40}, cv::FONT_HERSHEY_DUPLEX,
                    rng.uniform(0.8, 1.6), cv::Scalar::all(rng.uniform(0, 40)), rng.uniform(1, 4));
    return page;
}

std::vector<Picture> renders() {
    const CameraParam camera = defaultCameraParam();
    std::vector<Picture> out;
    for (int kind = 0; kind < 4; ++kind)
        for (int n = 0; n < 8; ++n) {
            const uint32_t seed = 100 * kind + n + 1;
            cv::RNG rng(seed);
            PrintedMarker sheet;
            const char* source = "";
            if (kind == 0) {
                sheet = makeChessboard(6 + n % 4, 5 + n % 3, 20.0 + 5 * (n % 3));
                source = "render: chessboards";
            } else {
                sheet.face = PrintedMarker::WholeSquare;
                sheet.marginFraction = 0.0;
                sheet.widthMm = 260.0;
                sheet.pattern = kind == 1 ? tiledWall(seed) : kind == 2 ? facade(seed) : printedText(seed);
                source = kind == 1 ? "render: tiled walls" : kind == 2 ? "render: dark windows" : "render: text";
            }
            poseFromView(camera, rng.uniform(350.0, 700.0), rng.uniform(-40.0, 40.0), rng.uniform(-40.0, 40.0),
                         rng.uniform(-30.0, 30.0), 320 + rng.uniform(-60, 60), 240 + rng.uniform(-40, 40),
                         sheet.transform);
            RenderSettings settings;
            settings.blurSigmaPx = 0.6 + 0.2 * (n % 3);
            settings.noiseSigma = 2.0 + n % 4;
            settings.clutterCount = 20;
            settings.seed = seed;
            settings.paperLevel = 255.0 - 25 * (n % 4);
            out.push_back(Picture{source, std::to_string(kind) + "-" + std::to_string(n),
                                  renderFrame(camera, {sheet}, settings), true});
        }
    return out;
}

std::vector<Picture> photos(const fs::path& root, const char* source, bool calibrationOnly) {
    std::vector<Picture> out;
    if (!fs::is_directory(root)) {
        std::printf("negative: no pictures at %s; %s left out\n", root.string().c_str(), source);
        return out;
    }
    std::vector<fs::path> paths;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && isImage(e.path()) &&
            (!calibrationOnly || e.path().parent_path().filename() == "calibration"))
            paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    for (const fs::path& p : paths) {
        // Icons and test stubs are not photographs.
        if (fs::file_size(p) < 10000) continue;
        cv::Mat bgr = cv::imread(p.string(), cv::IMREAD_COLOR);
        if (bgr.empty() || bgr.cols < 200 || bgr.rows < 200) continue;
        out.push_back(Picture{source, p.filename().string(), bgr, false});
    }
    return out;
}

// ---------------------------------------------------------------------------

struct Tally {
    int pictures = 0, phantoms = 0;
    double ms = 0.0;
};

struct Phantom {
    double x, y;
    int pattern;
    double cf;
};

int runPicture(const Picture& picture, const std::vector<std::string>& paths, const std::vector<std::string>& names,
               const DetectorOptions& config, double* ms) {
    const cv::Mat bgra = toDetectorFrame(picture.bgr);
    const CameraParam camera = picture.rendered ? defaultCameraParam()
                                                : makeCameraParam(bgra.cols, bgra.rows, 0.9 * bgra.cols, 0.0);
    setWorkingCameraParam(camera);
    DetectorOptions options = config;
    if (options.maxMarkerArea == 0) options.maxMarkerArea = bgra.cols * bgra.rows;
    detectorState().options = options;
    std::vector<Phantom> found;
    *ms = 0.0;
    for (int q = 0; q < kQuarters; ++q) {
        loadQuarter(paths, q);
        MarkerInfo* markers;
        int count = 0;
        double best = INFINITY;
        for (int round = 0; round < (q == 0 ? 3 : 1); ++round) {
            const double start = threadMs();
            detectMarkers(bgra.data, options.threshold, &markers, &count);
            best = std::min(best, threadMs() - start);
        }
        if (q == 0) *ms = best;
        for (int i = 0; i < count; ++i) {
            if (markers[i].id < 0 || markers[i].cf < kReportCut) continue;
            const Phantom p{markers[i].pos[0], markers[i].pos[1], q * kPatternSlots + markers[i].id, markers[i].cf};
            bool seen = false;
            for (const Phantom& f : found) seen = seen || std::hypot(f.x - p.x, f.y - p.y) < 3.0;
            if (seen) continue;
            found.push_back(p);
            if (verbose())
                std::printf("  phantom %s %s: %s cf %.2f at %.0f,%.0f area %d\n", picture.source.c_str(),
                            picture.name.c_str(), names[p.pattern].c_str(), p.cf, p.x, p.y, markers[i].area);
        }
    }
    return static_cast<int>(found.size());
}

} // namespace

int main(int argc, char** argv) {
    const fs::path real = fs::absolute(argc > 1 ? argv[1] : "../shared/realphotos");
    const fs::path samples = argc > 2 ? argv[2] : "/usr/lib/python3/dist-packages/skimage/data";
    cv::setNumThreads(1);

    std::vector<Picture> pictures = renders();
    for (Picture& p : photos(real, "real: checkerboard views", true)) pictures.push_back(std::move(p));
    for (Picture& p : photos(samples, "skimage sample photos", false)) pictures.push_back(std::move(p));

    const fs::path dir = fs::temp_directory_path() / ("quillmark-negative-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::vector<std::string> names;
    const std::vector<std::string> paths = registerCatalogue(dir, names);

    std::vector<Config> configs(4);
    configs[0] = {"defaults", DetectorOptions{}};
    configs[1] = {"opt-ins", DetectorOptions{}};
    configs[1].options.autoThreshold = true;
    configs[1].options.maxSquares = 500;
    configs[1].options.maxMarkerArea = 0; // the frame's size
    configs[2] = configs[1];
    configs[2].name = "opt-ins+verify";
    configs[2].options.verifyMarkers = true;
    configs[3] = {"real-camera", DetectorOptions{}};
    applyRealCamera(configs[3].options);

    std::vector<std::string> sources;
    for (const Picture& p : pictures)
        if (std::find(sources.begin(), sources.end(), p.source) == sources.end()) sources.push_back(p.source);
    std::printf("%zu pictures without markers, 200 patterns; phantoms (per 100 pictures), ms per picture "
                "(processor time, one quarter of the catalogue)\n",
                pictures.size());
    int failures = 0;
    for (const Config& config : configs) {
        std::vector<Tally> tally(sources.size() + 1);
        for (const Picture& p : pictures) {
            double ms;
            const int n = runPicture(p, paths, names, config.options, &ms);
            const size_t s = std::find(sources.begin(), sources.end(), p.source) - sources.begin();
            for (Tally* t : {&tally[s], &tally.back()}) {
                ++t->pictures;
                t->phantoms += n;
                t->ms += ms;
            }
        }
        std::printf("%s:\n", config.name);
        for (size_t s = 0; s <= sources.size(); ++s) {
            const Tally& t = tally[s];
            std::printf("  %-26s %3d pictures  phantoms %3d (%5.1f per 100)  %.2f ms\n",
                        s < sources.size() ? sources[s].c_str() : "all", t.pictures, t.phantoms,
                        100.0 * t.phantoms / std::max(1, t.pictures), t.ms / std::max(1, t.pictures));
        }
        failures += tally.back().phantoms;
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return failures == 0 ? 0 : 1;
}
