// quillmark detect: the report a client would receive, for each image in
// turn, on standard output.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <memory>
#include <set>
#include <utility>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "command_line.h"
#include "detect_markers.h"
#include "detector_state.h"
#include "evaluate.h"
#include "json.h"
#include "server_state.h"
#include "still_io.h"
#include "bodies.h"
#include "body_pose.h"
#include "world_frame.h"

namespace {

struct DetectRequest {
    DataFormat format;
    bool json = false;  // one JSON line per image instead of the report
    DetectorOptions detector;
    int repeat = 1;
    std::vector<std::string> images;
    WorldOptions world;
    Overrides overrides;
};

// What the bodies file adds to each image's JSON: the bodies' poses, and
// the camera's in the world frame (averaged over the images with --camera-fixed).
struct StillBodies {
    bool tracked = false;
    std::vector<Body> bodies;
    std::unique_ptr<WorldFrame> world;
    BodyTable poses;
    JsonWorldPose camera;
};

void declareDetectOptions(CLI::App& app, DetectRequest& request) {
    addFieldsOption(app, request.overrides, request.format,
                    "the fields of each report line (default: Data/config.txt's, or all)");
    app.add_flag("--json", request.json,
                 "one JSON object a line for each image: its file, size and markers\n"
                 "(the fields of the MQTT and WebSocket marker JSON)")
        ->excludes("--fields");
    addValueOption(app, "--repeat", "N", "detect N times per image and print the time per frame",
                   [&request](const std::string& text) { request.repeat = wholeNumber("--repeat", text, 1, 1000000000); });
    addDetectorOptions(app, request.overrides, request.detector);
    addWorldOptions(app, request.overrides, request.world);
    app.add_option("IMAGE", request.images)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// Installs `stored` scaled to the frame size unless that size is installed
// already. The camera is printed the first time each size is installed.
bool installCameraFor(const CameraParam& stored, int width, int height, CameraParam& installed,
                      std::set<std::pair<int, int>>& printed) {
    if (installed.xsize == width && installed.ysize == height) return true;
    CameraParam scaled;
    if (scaleCameraParam(stored, width, height, scaled) < 0 || setWorkingCameraParam(scaled) < 0) {
        std::fprintf(stderr, "quillmark detect: cannot install the camera for a %dx%d frame\n", width, height);
        return false;
    }
    if (printed.insert({width, height}).second) {
        printCameraParam(scaled, stderr);
        const std::string warning = cameraScaleWarning(stored, width, height);
        if (!warning.empty()) std::fprintf(stderr, "quillmark detect: warning: %s\n", warning.c_str());
    }
    installed = scaled;
    return true;
}

// The largest dark region of the latest labeling, whatever its size.
int largestRegion() {
    const LabelImage& label = detectorState().label.result;
    int largest = 0;
    for (int r = 0; r < label.labelCount; ++r) largest = std::max(largest, label.area[r]);
    return largest;
}

// Nothing found where a dark region of `largest` pixels passes the area
// limit, nor on a copy reduced by `reducedScale` (0 when none was tried):
// says so, with the option that lets the region in.
void explainNothingFound(const std::string& path, int largest, double reducedScale) {
    const int limit = detectorState().options.maxMarkerArea;
    if (largest <= limit) return;
    const long long enough = std::min<long long>((largest / 10000 + 1) * 10000LL, kMaxMarkerAreaMax);
    char reduced[64] = "";
    if (reducedScale > 0.0) std::snprintf(reduced, sizeof reduced, " (nor on a copy reduced to %.0f %%)", 100.0 * reducedScale);
    std::fprintf(stderr,
                 "quillmark detect: %s: no marker found%s, and a dark region of %d pixels is above the area limit"
                 " of %d; if it is a marker seen close up, --max-area %lld lets it in\n",
                 path.c_str(), reduced, largest, limit, enough);
}

// `camera` for an image resized by `scale` with OpenCV's pixel-centre rule
// (pixel centre x of the copy is (x + 0.5) / scale - 0.5 of the original),
// so that a marker on the copy gives the pose it has on the original.
CameraParam reducedCamera(const CameraParam& camera, double scale, int width, int height) {
    CameraParam reduced = camera;
    reduced.xsize = width;
    reduced.ysize = height;
    const double shift = 0.5 * scale - 0.5;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 4; ++c) reduced.projection[r][c] = camera.projection[r][c] * scale + shift * camera.projection[2][c];
    reduced.distortion[0] = camera.distortion[0] * scale + shift;
    reduced.distortion[1] = camera.distortion[1] * scale + shift;
    reduced.distortion[2] = camera.distortion[2] / (scale * scale);
    return reduced;
}

// The markers of one image; with repeat > 1 the time per frame goes to stderr.
ResultTable detectImage(const cv::Mat& image, const Catalogue& catalogue, int repeat, const std::string& path) {
    ResultTable table;
    cv::Mat frame;
    const auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < repeat; ++run) {
        cv::cvtColor(image, frame, cv::COLOR_BGR2BGRA);
        table.clear();
        evaluateMarkers(frame.data, catalogue, table);
    }
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    if (repeat > 1) {
        std::fprintf(stderr, "%s: %dx%d, %zu markers, %.3f ms per frame over %d frames\n", path.c_str(), image.cols,
                     image.rows, table.size(), elapsed.count() / repeat, repeat);
    }
    return table;
}

// A marker shown close up in a still image (such as quillmark marker draws)
// is one dark region above the area limit, which keeps it out. Looks again
// on a copy reduced to bring the region of `over` pixels under the limit,
// through the camera reduced alike, and reports what it finds in the
// original's pixels. Leaves the reduced camera installed, in `installed`;
// `scale` is the reduction tried.
ResultTable detectReducedCopy(const cv::Mat& image, int over, const Catalogue& catalogue, int repeat,
                              const std::string& path, CameraParam& installed, double& scale) {
    const int limit = detectorState().options.maxMarkerArea;
    scale = scaleUnderLimit(over, limit);
    cv::Mat reduced;
    cv::resize(image, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
    const CameraParam camera = reducedCamera(installed, scale, reduced.cols, reduced.rows);
    if (reduced.cols < 3 || reduced.rows < 3 || setWorkingCameraParam(camera) < 0) return {};
    installed = camera;
    ResultTable table = detectImage(reduced, catalogue, repeat, path);
    if (table.empty()) return table;
    const auto original = [scale](double v) { return (v + 0.5) / scale - 0.5; };
    for (MarkerResult& r : table) {
        r.px = original(r.px);
        r.py = original(r.py);
        for (auto& v : r.vertex) v[0] = original(v[0]), v[1] = original(v[1]);
        r.area = static_cast<int>(std::lround(r.area / (scale * scale)));
    }
    std::fprintf(stderr,
                 "quillmark detect: %s: a dark region of %d pixels is above the area limit of %d; looked again on a"
                 " copy reduced to %.0f %% (%dx%d): %zu marker%s, given in this image's pixels\n",
                 path.c_str(), over, limit, 100.0 * scale, reduced.cols, reduced.rows, table.size(),
                 table.size() == 1 ? "" : "s");
    return table;
}

// The report, or with --json one line naming the image; false with the
// reason on standard error when it cannot be written whole.
bool writeResults(FILE* out, const DetectRequest& request, const std::string& path, const cv::Mat& image,
                  const ResultTable& table, const FrameStamp& stamp, const StillBodies& bodies) {
    const JsonFrame frame{&table, stamp, image.cols, image.rows, bodies.tracked ? &bodies.poses : nullptr,
                          bodies.world ? &bodies.camera : nullptr};
    const std::string text = request.json ? imageFrameJson(path, frame) + "\n"
                                          : allReportText(table, request.format, stamp);
    if (std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0) return true;
    std::fprintf(stderr, "quillmark detect: cannot write the results of %s to standard output: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
}

// The bodies file when there is one (its refusals said on standard error),
// and the world body among its tracked bodies; false, with the reason, when
// the world body is not there.
bool loadStillBodies(const Catalogue& catalogue, const WorldOptions& world, StillBodies& still) {
    BodyList list;
    still.tracked = readBodyList(kBodyListPath, catalogue, list);
    for (const std::string& refusal : list.refusals) std::fprintf(stderr, "quillmark detect: %s\n", refusal.c_str());
    still.bodies = list.bodies;
    if (!world.on()) return true;
    for (const Body& body : still.bodies)
        if (body.name == world.body && body.tracked()) {
            still.world = std::make_unique<WorldFrame>(world);
            return true;
        }
    std::fprintf(stderr, "quillmark detect: --world: %s is not a tracked body of %s\n", world.body.c_str(),
                 kBodyListPath);
    return false;
}

int runDetect(DetectRequest& request) {
    if (request.images.empty()) throw CLI::ValidationError("no image given");
    ReportsOnlyStdout output;
    const Settings settings = storedSettings();
    request.format = defaultDataFormat(settings);
    // The detector as the operator set it up, with the command line's switches on top.
    request.detector = detectorOptionsOf(settings);
    request.world = worldOptionsOf(settings);
    request.overrides.apply();
    if (request.world.cameraFixed && !request.world.on())
        throw CLI::ValidationError("--camera-fixed needs a world body: --world BODY or [WorldBody]");

    CameraParam stored;
    std::string cameraError;
    if (!readCameraParamFile(kCameraParamPath, stored, cameraError)) {
        std::fprintf(stderr, "quillmark detect: %s; make it with quillmark calibrate\n", cameraError.c_str());
        return 1;
    }
    Catalogue catalogue;
    if (LoadPatternList(catalogue) < 0 || catalogue.empty()) {
        std::fprintf(stderr, "quillmark detect: %s lists no patterns to look for\n", kPatternListPath);
        return 1;
    }
    LoadCataloguePatterns(catalogue);
    detectorState().options = request.detector;
    StillBodies bodies;
    if (!loadStillBodies(catalogue, request.world, bodies)) return 2;

    CameraParam installed;
    std::set<std::pair<int, int>> printed;
    bool skipped = false;
    // Images are numbered by their place among the arguments, so a stamp
    // names its image even when one before it was skipped.
    uint64_t number = 0;
    for (const std::string& path : request.images) {
        ++number;
        cv::Mat image;
        std::string error;
        if (!readImage(path, image, error)) {
            std::fprintf(stderr, "quillmark detect: %s; skipped\n", error.c_str());
            skipped = true;
            continue;
        }
        const FrameStamp stamp{number, wallClockSeconds()};
        std::fprintf(stderr, "%s: %dx%d\n", path.c_str(), image.cols, image.rows);
        if (!installCameraFor(stored, image.cols, image.rows, installed, printed)) return 1;
        ResultTable table = detectImage(image, catalogue, request.repeat, path);
        if (table.empty()) {
            const int largest = largestRegion();
            const int over = largestRegionOverLimit(detectorState().options.maxMarkerArea);
            double reducedScale = 0.0;
            if (over > 0) table = detectReducedCopy(image, over, catalogue, request.repeat, path, installed, reducedScale);
            if (table.empty()) explainNothingFound(path, largest, reducedScale);
        }
        if (bodies.tracked) {
            bodies.poses = fitBodies(bodies.bodies, table, detectorState().camera.param);
            if (bodies.world) {
                bodies.world->update(bodies.poses, table);
                bodies.camera = jsonWorldPoseOf(bodies.world->camera());
            }
        }
        if (!writeResults(output.reports, request, path, image, table, stamp, bodies)) return 1;
    }
    return skipped ? 1 : 0;
}

} // namespace

Command detectCommand() {
    return {"detect",
            "usage: quillmark detect [-C DIR] [OPTION...] IMAGE...\n",
            "  The report a client would receive, for each image in turn, on standard output.\n",
            FieldWordsNote, declaring(declareDetectOptions, runDetect)};
}
