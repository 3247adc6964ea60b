// Phantom markers: Quillmark on pictures that hold no marker at all, against
// a catalogue of 200 patterns (AprilTag 36h11 ids 0, 2, ..., 198 drawn by
// the installed AprilTag library and ArUco 6x6 ids 0, 2, ..., 198 drawn by
// OpenCV's aruco module, each registered from its flat image as `quillmark
// pattern` does).
//
//   negative [photo folder] [packaged photo folders ...]
//
// The pictures: the checkerboard-only views of the real photos (default
// ../shared/realphotos, folders named "calibration"); the photographs that
// Debian packages ship (default: python3-skimage's sample data,
// /usr/share/backgrounds and /usr/share/wallpapers, where the wallpaper
// packages of scripts/install-deps.sh's QUILLMARK_PHOTOS group put theirs),
// one file per wallpaper, at 1280 and at 640 pixels on the longer side when
// larger; and renders by the project's renderer of chessboards, tiled walls,
// dark windows in a facade and printed text. The detector's table holds 50
// patterns, so each picture is searched four times, once per quarter of the
// catalogue; a report is one position reported in any of them.
//
// Per source and configuration it prints the phantom reports (confidence of
// at least 0.6, the report's cut), per 100 pictures, and the detector's
// processor time per picture with one quarter loaded; the defaults and the
// real-camera choice also without the shape checks (setShapeChecks), for
// what they refuse and cost. NEGATIVE_VERBOSE=1 lists every phantom,
// NEGATIVE_CROPS=DIR writes a crop of each with its outline,
// NEGATIVE_CONFIGS=a,b runs only the configurations named, NEGATIVE_EVERY=N
// keeps every Nth picture. It exits non-zero when a phantom is left with
// the checks on.
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>
#include <opencv2/aruco.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "detect_markers.h"
#include "detector_state.h"
#include "identity_check.h"
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
    bool shapeChecks = true;
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
    for (int i = 0; i < kPerFamily; ++i) {
        const int id = 2 * i;
        flats.push_back(renderMarkerImage(family.image(id), 160, 40, PrintedMarker::WholeSquare));
        names.push_back("tag36h11-" + std::to_string(id));
    }
    const auto aruco = cv::aruco::getPredefinedDictionary(cv::aruco::DICT_6X6_250);
    for (int i = 0; i < kPerFamily; ++i) {
        const int id = 2 * i;
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

// A wallpaper comes in several sizes ("Name_3840x2160.jpg", or
// "Name/contents/images/3840x2160.png"): one picture, the largest file.
std::string wallpaperKey(const fs::path& p) {
    static const std::regex size("^(.*?)[_-]?[0-9]+x[0-9]+$");
    const std::string stem = p.stem().string();
    std::smatch m;
    if (!std::regex_match(stem, m, size)) return p.parent_path().string() + "/" + stem;
    if (!m[1].str().empty()) return p.parent_path().string() + "/" + m[1].str();
    return p.parent_path().parent_path().parent_path().string() + "/" + p.parent_path().filename().string();
}

// Photographs shipped by Debian packages (wallpapers, sample data), each
// at 1280 and 640 pixels on its longer side when it is larger: a texture
// that is no marker at one scale may look like one at another.
std::vector<Picture> packagedPhotos(const std::vector<fs::path>& roots) {
    std::map<std::string, fs::path> largest;
    for (const fs::path& root : roots) {
        if (!fs::is_directory(root)) {
            std::printf("negative: no pictures at %s\n", root.string().c_str());
            continue;
        }
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            if (!e.is_regular_file() || !isImage(e.path()) || e.file_size() < 10000) continue;
            if (e.path().stem() == "screenshot") continue;
            fs::path& kept = largest[wallpaperKey(e.path())];
            if (kept.empty() || fs::file_size(kept) < e.file_size()) kept = e.path();
        }
    }
    std::vector<Picture> out;
    for (const auto& [key, p] : largest) {
        const cv::Mat bgr = cv::imread(p.string(), cv::IMREAD_COLOR);
        if (bgr.empty() || bgr.cols < 200 || bgr.rows < 200) continue;
        // Plasma's "Name/contents/images_dark/3840x2160.png" is "Name-dark".
        std::string name = fs::path(key).filename().string();
        if (name.rfind("images", 0) == 0) {
            const std::string variant = name.substr(6);
            name = fs::path(key).parent_path().filename().string() + (variant.empty() ? "" : "-" + variant.substr(1));
        }
        const int side = std::max(bgr.cols, bgr.rows);
        if (side <= 1280) {
            out.push_back(Picture{"packaged photos", name, bgr, false});
            continue;
        }
        for (const int target : {1280, 640}) {
            cv::Mat scaled;
            cv::resize(bgr, scaled, cv::Size(), double(target) / side, double(target) / side, cv::INTER_AREA);
            out.push_back(Picture{target == 1280 ? "packaged photos" : "packaged photos, 640 px",
                                  name + "@" + std::to_string(target), scaled, false});
        }
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
            if (const char* crops = std::getenv("NEGATIVE_CROPS")) {
                const int r = static_cast<int>(std::sqrt(markers[i].area)) + 10;
                cv::Rect box(static_cast<int>(p.x) - r, static_cast<int>(p.y) - r, 2 * r, 2 * r);
                box &= cv::Rect(0, 0, picture.bgr.cols, picture.bgr.rows);
                cv::Mat crop = picture.bgr(box).clone();
                for (int k = 0; k < 4; ++k)
                    cv::line(crop, cv::Point2d(markers[i].vertex[k][0] - box.x, markers[i].vertex[k][1] - box.y),
                             cv::Point2d(markers[i].vertex[(k + 1) % 4][0] - box.x, markers[i].vertex[(k + 1) % 4][1] - box.y),
                             cv::Scalar(0, 0, 255), 1);
                cv::imwrite(std::string(crops) + "/" + picture.name + "-" + std::to_string(found.size()) + ".png", crop);
            }
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
    std::vector<fs::path> packaged;
    for (int i = 2; i < argc; ++i) packaged.push_back(argv[i]);
    if (packaged.empty())
        packaged = {"/usr/lib/python3/dist-packages/skimage/data", "/usr/share/backgrounds", "/usr/share/wallpapers"};
    cv::setNumThreads(1);

    std::vector<Picture> pictures = renders();
    for (Picture& p : photos(real, "real: checkerboard views", true)) pictures.push_back(std::move(p));
    for (Picture& p : packagedPhotos(packaged)) pictures.push_back(std::move(p));
    // NEGATIVE_EVERY=N keeps every Nth picture, for a quick look.
    if (const char* every = std::getenv("NEGATIVE_EVERY")) {
        const size_t n = std::max(1, std::atoi(every));
        std::vector<Picture> kept;
        for (size_t i = 0; i < pictures.size(); i += n) kept.push_back(std::move(pictures[i]));
        pictures = std::move(kept);
    }

    const fs::path dir = fs::temp_directory_path() / ("quillmark-negative-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::vector<std::string> names;
    const std::vector<std::string> paths = registerCatalogue(dir, names);

    std::vector<Config> configs(6);
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
    // The same without the shape checks, for their effect and cost.
    configs[4] = configs[0];
    configs[4].name = "defaults-no-shape-check";
    configs[4].shapeChecks = false;
    configs[5] = configs[3];
    configs[5].name = "real-camera-no-shape-check";
    configs[5].shapeChecks = false;

    std::vector<std::string> sources;
    for (const Picture& p : pictures)
        if (std::find(sources.begin(), sources.end(), p.source) == sources.end()) sources.push_back(p.source);
    std::printf("%zu pictures without markers, 200 patterns; phantoms (per 100 pictures), ms per picture "
                "(processor time, one quarter of the catalogue)\n",
                pictures.size());
    int failures = 0;
    // NEGATIVE_CONFIGS=name,name runs only those.
    const char* only = std::getenv("NEGATIVE_CONFIGS");
    for (const Config& config : configs) {
        if (only && ("," + std::string(only) + ",").find("," + std::string(config.name) + ",") == std::string::npos)
            continue;
        setShapeChecks(config.shapeChecks);
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
        if (config.shapeChecks) failures += tally.back().phantoms;
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return failures == 0 ? 0 : 1;
}
