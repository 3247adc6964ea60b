// synthetic — the built-in camera: the catalogue's own patterns, rendered
// from their pattern files through the installed camera parameters, moving
// on smooth repeatable paths at 30 frames a second. It needs no hardware, so
// the whole pipeline runs anywhere, and its frames are the same on every run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include "camera.h"
#include "camera_param.h"
#include "camera_pump.h"
#include "body_pose.h"
#include "catalogue_patterns.h"
#include "render.h"
#include "synthetic_scene.h"

namespace {

constexpr double kFramesPerSecond = 30.0;
constexpr double kPi = 3.14159265358979323846;
const char* const kPatternListPath = "Data/pattern_list.txt";
constexpr double kFallbackWidthMm = 80.0;
constexpr int kNoiseShift = 64;
// Larger than any camera's frames: a record beyond it is damaged, and its
// frames would take gigabytes each.
constexpr int kMaxFrameSide = 8192;

// Widths of the catalogue rows in order, read as the catalogue file is read:
// word by word, an entry after every "[Pattern]".
// A record the renderer can film through: a frame size a camera could have,
// finite numbers, positive focal lengths and depth row, a positive scale.
bool filmable(const CameraParam& camera) {
    if (camera.xsize > kMaxFrameSide || camera.ysize > kMaxFrameSide) return false;
    for (const auto& row : camera.projection)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    for (double v : camera.distortion)
        if (!std::isfinite(v)) return false;
    return camera.projection[0][0] > 0.0 && camera.projection[1][1] > 0.0 && camera.projection[2][2] > 0.0 &&
           camera.distortion[3] > 0.0;
}

Catalogue catalogueRows() {
    Catalogue rows;
    std::ifstream in(kPatternListPath);
    std::string word, name, path, status;
    while (in >> word) {
        if (word != "[Pattern]") continue;
        double width = 0.0;
        if (!(in >> name >> path >> width >> status)) break;
        PatternEntry entry;
        entry.index = static_cast<int>(rows.size());
        entry.name = name;
        entry.width = width > 0.0 ? width : kFallbackWidthMm;
        rows.push_back(entry);
    }
    return rows;
}

// Across the body: twice the farthest corner of a member from its origin.
double bodyExtentMm(const Body& body) {
    double farthest = 0.0;
    for (const BodyMember& member : body.members) {
        double corners[4][3];
        memberCorners(member, corners);
        for (const auto& c : corners) farthest = std::max(farthest, std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]));
    }
    return 2 * farthest;
}

class SyntheticCamera : public CameraBackend {
public:
    explicit SyntheticCamera(SyntheticScene scene) : scene_(std::move(scene)) {}

    bool start(std::string&) override {
        pump_ = std::make_unique<FramePump>(
            [this](cv::Mat& bgr, std::string&) {
                bgr = scene_.render(frameIndex_++, nullptr);
                return true;
            },
            1000.0 / kFramesPerSecond);
        return true;
    }

    GrabStatus grab(cv::Mat& bgr, int timeoutMs, std::string& error) override {
        return pump_->waitNext(bgr, timeoutMs, error);
    }

private:
    SyntheticScene scene_;
    long frameIndex_ = 0; // touched by the pump's thread only
    std::unique_ptr<FramePump> pump_;
};

bool acceptsSynthetic(const std::string& sourceName) { return sourceName == "synthetic"; }

std::vector<CameraSource> enumerateSynthetic() {
    return {{"synthetic", "Built-in synthetic camera: the catalogue's markers in motion"}};
}

std::unique_ptr<CameraBackend> createSynthetic(const std::string&, std::string&) {
    return std::make_unique<SyntheticCamera>(SyntheticScene::fromDataDirectory());
}

} // namespace

SyntheticScene::SyntheticScene(const CameraParam& camera, std::vector<cv::Mat> patterns,
                               std::vector<double> widthsMm, std::vector<Body> bodies)
    : camera_(camera), patterns_(std::move(patterns)), widthsMm_(std::move(widthsMm)) {
    // Free markers take the first cells, bodies the ones after them.
    bodyOf_.assign(patterns_.size(), -1);
    for (const Body& body : bodies) {
        bool filmable = body.tracked();
        for (const BodyMember& m : body.members)
            filmable = filmable && m.patternId >= 0 && static_cast<size_t>(m.patternId) < patterns_.size();
        if (!filmable) continue;
        for (const BodyMember& m : body.members) bodyOf_[static_cast<size_t>(m.patternId)] = static_cast<int>(bodies_.size());
        bodies_.push_back(body);
    }
    for (size_t i = 0; i < patterns_.size(); ++i) itemOf_.push_back(bodyOf_[i] < 0 ? static_cast<int>(items_++) : -1);
    for (size_t b = 0; b < bodies_.size(); ++b) itemOf_.push_back(static_cast<int>(items_++));
    settings_.width = camera.xsize;
    settings_.height = camera.ysize;
    // One sample a pixel and a slight blur: a camera's soft edges at a
    // fraction of the cost of supersampling, so frames keep up with 30 a second.
    settings_.supersample = 1;
    settings_.blurSigmaPx = 0.6;
    settings_.clutterCount = 3;
    cv::Mat noise(camera.ysize + kNoiseShift, camera.xsize + kNoiseShift, CV_32FC3);
    cv::RNG(7).fill(noise, cv::RNG::NORMAL, 0.0, 2.0);
    noise.convertTo(noisePositive_, CV_8UC3);
    cv::Mat negated = -noise;
    negated.convertTo(noiseNegative_, CV_8UC3);
}

SyntheticScene SyntheticScene::fromDataDirectory() {
    CameraParam camera;
    if (loadCameraParam(kCameraParamPath, 1, &camera) != 0 || camera.xsize <= 0 || camera.ysize <= 0) {
        camera = defaultCameraParam();
    } else if (!filmable(camera)) {
        std::printf("%s holds no camera the synthetic camera can film through (image size or intrinsics "
                    "damaged); it films through a default 640 x 480 camera.\n",
                    kCameraParamPath);
        std::fflush(stdout);
        camera = defaultCameraParam();
    }
    const Catalogue rows = catalogueRows();
    std::vector<double> widths;
    for (const PatternEntry& entry : rows) widths.push_back(entry.width);
    std::vector<cv::Mat> patterns;
    // The catalogue's files are numbered contiguously from 0.
    for (int index = 0;; ++index) {
        cv::Mat pattern;
        if (readPatternImage(patternFilePath(index).c_str(), pattern) != 0) break;
        patterns.push_back(pattern);
    }
    widths.resize(patterns.size(), kFallbackWidthMm);
    BodyList bodies;
    readBodyList(kBodyListPath, rows, bodies);
    return SyntheticScene(camera, std::move(patterns), std::move(widths), bodies.bodies);
}

void SyntheticScene::poseAt(size_t marker, long frameIndex, double transform[3][4]) const {
    const int body = bodyOf_[marker];
    if (body < 0) return pathPose(static_cast<size_t>(itemOf_[marker]), widthsMm_[marker], frameIndex, transform);
    const Body& b = bodies_[static_cast<size_t>(body)];
    for (const BodyMember& m : b.members)
        if (m.patternId == static_cast<int>(marker))
            poseToTransform(composePoses(bodyPoseAt(static_cast<size_t>(body), frameIndex), memberPose(m)), transform);
}

RigidPose SyntheticScene::bodyPoseAt(size_t body, long frameIndex) const {
    double transform[3][4];
    pathPose(static_cast<size_t>(itemOf_[patterns_.size() + body]), bodyExtentMm(bodies_[body]), frameIndex, transform);
    return poseFromTransform(transform);
}

// Item i keeps to cell i of a grid over the frame, so items never cover
// one another; inside it, it drifts, nods and turns on a Lissajous path
// whose frequencies differ per item.
void SyntheticScene::pathPose(size_t i, double extentMm, long frameIndex, double transform[3][4]) const {
    const size_t count = items_;
    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
    const int rows = static_cast<int>((count + columns - 1) / columns);
    const double cellW = static_cast<double>(camera_.xsize) / columns;
    const double cellH = static_cast<double>(camera_.ysize) / rows;
    const double t = frameIndex / kFramesPerSecond;
    const double phase = 1.7 * static_cast<double>(i);
    const double cx = (static_cast<double>(i % columns) + 0.5) * cellW + 0.12 * cellW * std::sin(0.5 * t + phase);
    const double cy = (static_cast<double>(i / columns) + 0.5) * cellH + 0.12 * cellH * std::cos(0.37 * t + phase);
    // The marker's side on screen is kept near 40 % of its cell.
    const double focal = camera_.projection[0][0];
    const double sidePx = 0.4 * std::min(cellW, cellH) * (1.0 + 0.15 * std::sin(0.23 * t + phase));
    const double distance = focal * extentMm / sidePx;
    const double tiltX = 30.0 * std::sin(0.41 * t + phase);
    const double tiltY = 30.0 * std::cos(0.29 * t + 2.0 * phase);
    const double roll = std::fmod(20.0 * t + 90.0 * static_cast<double>(i), 360.0);
    poseFromView(camera_, distance, tiltX, tiltY, roll, cx, cy, transform);
}

cv::Mat SyntheticScene::render(long frameIndex, std::vector<MarkerTruth>* truth) const {
    std::vector<PrintedMarker> markers(patterns_.size());
    for (size_t i = 0; i < patterns_.size(); ++i) {
        markers[i].pattern = patterns_[i];
        markers[i].widthMm = widthsMm_[i];
        poseAt(i, frameIndex, markers[i].transform);
    }
    // A body's faces turned away are not filmed, and its nearer faces are
    // drawn over its farther ones; the truth stays in catalogue order.
    if (!bodies_.empty()) {
        std::vector<PrintedMarker> filmed;
        std::vector<std::pair<double, size_t>> members;
        for (size_t i = 0; i < patterns_.size(); ++i) {
            const double(*T)[4] = markers[i].transform;
            if (bodyOf_[i] < 0) filmed.push_back(markers[i]);
            else if (T[0][2] * T[0][3] + T[1][2] * T[1][3] + T[2][2] * T[2][3] < 0) members.emplace_back(-T[2][3], i);
        }
        std::sort(members.begin(), members.end());
        for (const auto& member : members) filmed.push_back(markers[member.second]);
        if (truth) {
            RenderSettings truthOnly;
            truthOnly.width = truthOnly.height = 1;
            renderFrame(camera_, markers, truthOnly, truth);
        }
        markers = filmed;
        truth = nullptr;
    }
    RenderSettings settings = settings_;
    settings.seed = static_cast<uint32_t>(frameIndex + 1);
    cv::Mat frame = renderFrame(camera_, markers, settings, truth);
    const cv::Rect window(static_cast<int>((frameIndex * 37) % kNoiseShift), static_cast<int>((frameIndex * 17) % kNoiseShift),
                          frame.cols, frame.rows);
    cv::add(frame, noisePositive_(window), frame);
    cv::subtract(frame, noiseNegative_(window), frame);
    return frame;
}

const CameraBackendKind& syntheticCameraKind() {
    static const CameraBackendKind kind{"synthetic", acceptsSynthetic, enumerateSynthetic, createSynthetic};
    return kind;
}
