// synthetic — the built-in camera: the catalogue's own patterns, rendered
// from their pattern files through the installed camera parameters, moving
// on smooth repeatable paths at 30 frames a second. It needs no hardware, so
// the whole pipeline runs anywhere, and its frames are the same on every run.
// synthetic:pose=... films a scene laid out in the world from a camera
// placed in it, on the wall clock, so several cameras film one scene.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
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

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Films on the wall clock: each grab delivers the next frame instant after
// the last one filmed, or skips to the current one when rendering fell
// behind, so that two cameras film the same k at the same capture time.
class PosedSyntheticCamera : public CameraBackend {
public:
    PosedSyntheticCamera(SyntheticScene scene, int framesPerSecond)
        : scene_(std::move(scene)), step_(static_cast<long>(kSyntheticFramesPerSecond) / framesPerSecond) {}

    bool start(std::string&) override { return true; }

    GrabStatus grab(cv::Mat& bgr, int timeoutMs, std::string& error) override {
        const double now = wallNow();
        long frame = std::max(lastFrame_ + 1, syntheticFrameAt(now));
        // The next instant of this camera's rate: cameras of one rate film the same ones.
        frame += (step_ - frame % step_) % step_;
        const double wait = syntheticFrameTime(frame) - now;
        if (wait * 1000.0 > timeoutMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            error = "the wall clock went back; the next frame is due in " + std::to_string(wait) + " s";
            return GrabStatus::Timeout;
        }
        // Rendered ahead, delivered at its instant: as a real camera's frame
        // exists once exposed, so the rendering is no part of the latency.
        scene_.render(frame, nullptr).copyTo(bgr);
        const double left = syntheticFrameTime(frame) - wallNow();
        if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
        lastFrame_ = frame;
        captureTime_ = syntheticFrameTime(frame);
        return GrabStatus::Ok;
    }

    double captureTime() const override { return captureTime_; }

private:
    SyntheticScene scene_;
    long step_;
    long lastFrame_ = 0;
    double captureTime_ = 0.0;
};

// The X Y Z RX RY RZ of pose=: six finite numbers.
bool parsePoseNumbers(const std::string& text, double pose[6]) {
    const char* at = text.data();
    const char* const end = at + text.size();
    for (int i = 0; i < 6; ++i) {
        const auto [next, problem] = std::from_chars(at, end, pose[i]);
        if (problem != std::errc() || !std::isfinite(pose[i])) return false;
        at = next;
        if (i < 5 && (at == end || *at++ != ',')) return false;
    }
    return at == end;
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

bool acceptsSynthetic(const std::string& sourceName) {
    return sourceName == "synthetic" || sourceName.rfind("synthetic:", 0) == 0;
}

std::vector<CameraSource> enumerateSynthetic() {
    return {{"synthetic", "Built-in synthetic camera: the catalogue's markers in motion"}};
}

std::unique_ptr<CameraBackend> createSynthetic(const std::string& sourceName, std::string& error) {
    SyntheticView view;
    if (!parseSyntheticSource(sourceName, view, error)) return nullptr;
    if (!view.posed) return std::make_unique<SyntheticCamera>(SyntheticScene::fromDataDirectory());
    SyntheticScene scene = SyntheticScene::fromDataDirectory();
    std::vector<std::string> names;
    for (const PatternEntry& row : catalogueRows()) names.push_back(row.name);
    if (!scene.filmFrom(view, names, error)) {
        error = "the source \"" + sourceName + "\" is refused: " + error;
        return nullptr;
    }
    return std::make_unique<PosedSyntheticCamera>(std::move(scene), view.framesPerSecond);
}

// Camera and floor kept this far apart: nearer corners are not filmed.
constexpr double kNearestMm = 50.0;

// Whether a marker at `transform` (marker to camera) of side `widthMm`
// shows its face to the camera with every corner in front of it.
bool faceInView(const double transform[3][4], double widthMm) {
    const double(*T)[4] = transform;
    if (T[0][2] * T[0][3] + T[1][2] * T[1][3] + T[2][2] * T[2][3] >= 0) return false;
    for (int sx = -1; sx <= 1; sx += 2)
        for (int sy = -1; sy <= 1; sy += 2)
            if (T[2][0] * sx * widthMm / 2 + T[2][1] * sy * widthMm / 2 + T[2][3] < kNearestMm) return false;
    return true;
}

// Turns about the world's axes, radians.
RigidPose turnAbout(int axis, double angle) {
    RigidPose pose;
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    pose.R[a][a] = pose.R[b][b] = std::cos(angle);
    pose.R[b][a] = std::sin(angle);
    pose.R[a][b] = -std::sin(angle);
    return pose;
}

} // namespace

bool parseSyntheticSource(const std::string& source, SyntheticView& view, std::string& error) {
    view = SyntheticView{};
    if (source == "synthetic") return true;
    const auto refuse = [&](const std::string& why) {
        error = "the source \"" + source + "\" is refused: " + why;
        return false;
    };
    const std::string head = "synthetic:";
    if (source.rfind(head, 0) != 0) return refuse("a synthetic source is synthetic or synthetic:OPTIONS");
    std::set<std::string> seen;
    std::istringstream options(source.substr(head.size()));
    for (std::string option; std::getline(options, option, ';');) {
        const size_t equals = option.find('=');
        if (equals == std::string::npos)
            return refuse("\"" + option + "\" is no NAME=VALUE; the options are pose=, world=, hide= and rate=, joined by ;");
        const std::string name = option.substr(0, equals), value = option.substr(equals + 1);
        if (!seen.insert(name).second) return refuse(name + "= is given twice");
        if (name == "pose") {
            if (!parsePoseNumbers(value, view.pose))
                return refuse("pose= needs six numbers X,Y,Z,RX,RY,RZ (mm and degrees), not \"" + value + "\"");
            view.posed = true;
        } else if (name == "world") {
            if (value.empty() || value.find_first_of(", \t") != std::string::npos)
                return refuse("world= needs a body name, not \"" + value + "\"");
            view.worldBody = value;
        } else if (name == "hide") {
            std::istringstream names(value);
            for (std::string hidden; std::getline(names, hidden, '+');) {
                if (hidden.empty()) return refuse("hide= needs names joined by +, not \"" + value + "\"");
                view.hidden.push_back(hidden);
            }
            if (view.hidden.empty() || value.back() == '+')
                return refuse("hide= needs names joined by +, not \"" + value + "\"");
        } else if (name == "rate") {
            const auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), view.framesPerSecond);
            if (problem != std::errc() || end != value.data() + value.size() || view.framesPerSecond < 1 ||
                30 % view.framesPerSecond != 0)
                return refuse("rate= needs frames a second that divide 30 (1, 2, 3, 5, 6, 10, 15 or 30), not \"" +
                              value + "\"");
        } else {
            return refuse("unknown option " + name + "=; the options are pose=, world=, hide= and rate=");
        }
    }
    if (!view.posed) return refuse("it needs pose=X,Y,Z,RX,RY,RZ (mm and degrees)");
    return true;
}

RigidPose cameraPoseFromAngles(const double pose[6]) {
    const double toRadians = kPi / 180.0;
    RigidPose camera = composePoses(turnAbout(2, pose[5] * toRadians),
                                    composePoses(turnAbout(1, pose[4] * toRadians), turnAbout(0, pose[3] * toRadians)));
    for (int r = 0; r < 3; ++r) camera.t[r] = pose[r];
    return camera;
}

long syntheticFrameAt(double secondsSince1970) {
    return static_cast<long>(std::floor(secondsSince1970 * kSyntheticFramesPerSecond));
}

double syntheticFrameTime(long frame) { return static_cast<double>(frame) / kSyntheticFramesPerSecond; }

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
    if (view_.posed) return poseToTransform(composePoses(worldToCamera_, worldPoseAt(marker, frameIndex)), transform);
    const int body = bodyOf_[marker];
    if (body < 0) return pathPose(static_cast<size_t>(itemOf_[marker]), widthsMm_[marker], frameIndex, transform);
    const Body& b = bodies_[static_cast<size_t>(body)];
    for (const BodyMember& m : b.members)
        if (m.patternId == static_cast<int>(marker))
            poseToTransform(composePoses(bodyPoseAt(static_cast<size_t>(body), frameIndex), memberPose(m)), transform);
}

RigidPose SyntheticScene::bodyPoseAt(size_t body, long frameIndex) const {
    if (view_.posed) return composePoses(worldToCamera_, bodyWorldPoseAt(body, frameIndex));
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

bool SyntheticScene::filmFrom(const SyntheticView& view, const std::vector<std::string>& markerNames,
                              std::string& error) {
    int floor = bodies_.empty() ? -1 : 0;
    if (!view.worldBody.empty()) {
        floor = -1;
        for (size_t b = 0; b < bodies_.size(); ++b)
            if (bodies_[b].name == view.worldBody) floor = static_cast<int>(b);
        if (floor < 0) {
            error = "world=" + view.worldBody + " is no body of " + kBodyListPath + " with every member catalogued and placed";
            return false;
        }
    }
    std::vector<bool> hidden(patterns_.size(), false);
    for (const std::string& name : view.hidden) {
        bool found = false;
        for (const Body& body : bodies_) {
            if (body.name != name) continue;
            for (const BodyMember& m : body.members) hidden[static_cast<size_t>(m.patternId)] = true;
            found = true;
        }
        for (size_t i = 0; i < markerNames.size() && i < patterns_.size(); ++i) {
            if (markerNames[i] != name) continue;
            hidden[i] = true;
            found = true;
        }
        if (!found) {
            error = "hide=" + name + " names no body or marker that is filmed";
            return false;
        }
    }
    view_ = view;
    worldBody_ = floor;
    hiddenMarker_ = hidden;
    cameraToWorld_ = cameraPoseFromAngles(view.pose);
    worldToCamera_ = inversePose(cameraToWorld_);
    if (floor >= 0) {
        const Body& body = bodies_[static_cast<size_t>(floor)];
        for (double& c : floorCentre_) c = 0;
        for (const BodyMember& m : body.members)
            for (int r = 0; r < 3; ++r) floorCentre_[r] += memberPose(m).t[r] / static_cast<double>(body.members.size());
        floorExtentMm_ = bodyExtentMm(body);
    }
    return true;
}

RigidPose SyntheticScene::worldPoseAt(size_t marker, long frameIndex) const {
    const int body = bodyOf_[marker];
    if (body < 0) return floorPathPose(static_cast<size_t>(itemOf_[marker]), widthsMm_[marker], frameIndex);
    for (const BodyMember& m : bodies_[static_cast<size_t>(body)].members)
        if (m.patternId == static_cast<int>(marker))
            return composePoses(bodyWorldPoseAt(static_cast<size_t>(body), frameIndex), memberPose(m));
    return RigidPose{};
}

RigidPose SyntheticScene::bodyWorldPoseAt(size_t body, long frameIndex) const {
    if (static_cast<int>(body) == worldBody_) return RigidPose{};
    return floorPathPose(static_cast<size_t>(itemOf_[patterns_.size() + body]), bodyExtentMm(bodies_[body]), frameIndex);
}

// The moving items share one small circle high above the floor's centre,
// evenly spaced and slowly going round, each at its own height, turning
// about the vertical and nodding by up to 15 degrees: cameras that look
// down at the floor from around it see them above it, clear of it.
RigidPose SyntheticScene::floorPathPose(size_t item, double extentMm, long frameIndex) const {
    const size_t floorItem =
        worldBody_ < 0 ? items_ : static_cast<size_t>(itemOf_[patterns_.size() + static_cast<size_t>(worldBody_)]);
    const size_t count = items_ - (worldBody_ < 0 ? 0 : 1);
    const double j = static_cast<double>(item - (item > floorItem ? 1 : 0));
    const double t = syntheticFrameTime(frameIndex);
    const double span = floorExtentMm_;
    const double angle = 2 * kPi * j / static_cast<double>(count) + 0.25 * t;
    const double radius = count > 1 ? 0.15 * span : 0.05 * span;
    const double rise = count > 1 ? j / static_cast<double>(count - 1) : 0.5;
    const double height = 0.6 * span + 0.3 * span * rise + 0.15 * extentMm + 0.03 * span * std::sin(0.7 * t + 1.3 * j);
    const double nod = 15.0 * kPi / 180.0;
    RigidPose pose = composePoses(turnAbout(2, angle + kPi / 2 + 0.4 * std::sin(0.2 * t + j)),
                                  composePoses(turnAbout(0, nod * std::sin(0.41 * t + 1.7 * j)),
                                               turnAbout(1, nod * std::cos(0.29 * t + 3.4 * j))));
    pose.t[0] = floorCentre_[0] + radius * std::cos(angle);
    pose.t[1] = floorCentre_[1] + radius * std::sin(angle);
    pose.t[2] = floorCentre_[2] + height;
    return pose;
}

// Everything whose face this camera sees, farthest first so that nearer
// markers cover farther ones; the truth is of every marker, hidden or not.
cv::Mat SyntheticScene::renderPosed(long frameIndex, std::vector<MarkerTruth>* truth) const {
    std::vector<PrintedMarker> markers(patterns_.size());
    for (size_t i = 0; i < patterns_.size(); ++i) {
        markers[i].pattern = patterns_[i];
        markers[i].widthMm = widthsMm_[i];
        poseAt(i, frameIndex, markers[i].transform);
    }
    if (truth) {
        RenderSettings truthOnly;
        truthOnly.width = truthOnly.height = 1;
        renderFrame(camera_, markers, truthOnly, truth);
    }
    std::vector<std::pair<double, size_t>> order;
    for (size_t i = 0; i < markers.size(); ++i)
        if (!hiddenMarker_[i] && faceInView(markers[i].transform, widthsMm_[i]))
            order.emplace_back(-markers[i].transform[2][3], i);
    std::sort(order.begin(), order.end());
    std::vector<PrintedMarker> filmed;
    for (const auto& entry : order) filmed.push_back(markers[entry.second]);
    RenderSettings settings = settings_;
    settings.seed = static_cast<uint32_t>(frameIndex + 1);
    cv::Mat frame = renderFrame(camera_, filmed, settings, nullptr);
    addNoise(frameIndex, frame);
    return frame;
}

void SyntheticScene::addNoise(long frameIndex, cv::Mat& frame) const {
    const cv::Rect window(static_cast<int>((frameIndex * 37) % kNoiseShift), static_cast<int>((frameIndex * 17) % kNoiseShift),
                          frame.cols, frame.rows);
    cv::add(frame, noisePositive_(window), frame);
    cv::subtract(frame, noiseNegative_(window), frame);
}

cv::Mat SyntheticScene::render(long frameIndex, std::vector<MarkerTruth>* truth) const {
    if (view_.posed) return renderPosed(frameIndex, truth);
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
    addNoise(frameIndex, frame);
    return frame;
}

const CameraBackendKind& syntheticCameraKind() {
    static const CameraBackendKind kind{"synthetic", acceptsSynthetic, enumerateSynthetic, createSynthetic};
    return kind;
}
