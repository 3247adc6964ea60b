#pragma once
// The scene the built-in synthetic camera films: the catalogue's patterns,
// each moving on its own smooth path, rendered through a camera parameter.
// The members of each tracked body (Data/body_list.txt) move together, at
// their places on the body, on the body's own path.
// Frame k of a scene is the same on every run, so tests can ask for the
// truth of the frame the worker saw.
#include <string>
#include <vector>
#include <opencv2/core.hpp>
#include "camera.h"
#include "bodies.h"
#include "camera_param.h"
#include "render.h"

// A camera placed in the world, as `synthetic:pose=X,Y,Z,RX,RY,RZ[;world=
// BODY][;hide=NAME[+NAME...]]` names it. The camera frame is the usual one
// (X right in the image, Y down, Z forward); its position is in mm and its
// rotation R = Rz(RZ) Ry(RY) Rx(RX) (degrees) turns camera axes into world
// axes. The world frame is the floor body's: `world=`, else the first
// filmed body. `hide=` leaves bodies or markers out of this camera's view.
struct SyntheticView {
    bool posed = false;
    double pose[6] = {};         // X Y Z (mm), RX RY RZ (degrees)
    std::string worldBody;       // empty: the first filmed body
    std::vector<std::string> hidden;
    int framesPerSecond = 30;    // rate=: a divisor of 30, so slower cameras film a subset of the instants
};

// Reads "synthetic" (not posed) or "synthetic:OPTIONS". False, with the
// source named and what is wrong with it in `error`, for a malformed one.
bool parseSyntheticSource(const std::string& source, SyntheticView& view, std::string& error);
// Camera to world from X Y Z RX RY RZ as above.
RigidPose cameraPoseFromAngles(const double pose[6]);

// A posed camera films frame k at k/30 s since 1970: every camera on one
// machine films the same instant with the same k.
constexpr double kSyntheticFramesPerSecond = 30.0;
long syntheticFrameAt(double secondsSince1970);
double syntheticFrameTime(long frame);

class SyntheticScene {
public:
    // `bodies` name patterns by their catalogue row (patternId); the tracked
    // ones are filmed as bodies.
    SyntheticScene(const CameraParam& camera, std::vector<cv::Mat> patterns, std::vector<double> widthsMm,
                   std::vector<Body> bodies = {});
    // Data/camera_para.dat (or a default 640 x 480 camera when it cannot be
    // read), the pattern files Data/000.patt onwards, the catalogue's widths
    // and the bodies of Data/body_list.txt when there is one.
    static SyntheticScene fromDataDirectory();

    // Frame `frameIndex` (30 a second) as 8-bit BGR, and the truth of each
    // marker in catalogue order when asked.
    cv::Mat render(long frameIndex, std::vector<MarkerTruth>* truth) const;
    // Marker `marker` (a catalogue row) to camera in frame `frameIndex`:
    // its own path, or its place on its body.
    void poseAt(size_t marker, long frameIndex, double transform[3][4]) const;
    size_t markerCount() const { return patterns_.size(); }
    // The tracked bodies filmed, and body `body`'s pose (body to camera).
    const std::vector<Body>& bodies() const { return bodies_; }
    RigidPose bodyPoseAt(size_t body, long frameIndex) const;

    // Films from a camera in the world instead: the floor body lies still
    // with its frame on the world's, and everything else moves above it on
    // paths of world time. `markerNames` are the catalogue's, for hide=.
    // False, the scene as it was, when the floor or a hidden name is no
    // body or marker filmed, with the reason in `error`.
    bool filmFrom(const SyntheticView& view, const std::vector<std::string>& markerNames, std::string& error);
    bool posed() const { return view_.posed; }
    // Camera to world.
    const RigidPose& cameraPose() const { return cameraToWorld_; }
    // The floor body (an index into bodies()), or -1 when there is none.
    int worldBody() const { return worldBody_; }
    // Marker to world and body to world in frame `frameIndex` (posed).
    RigidPose worldPoseAt(size_t marker, long frameIndex) const;
    RigidPose bodyWorldPoseAt(size_t body, long frameIndex) const;

private:
    // Item i's pose in the world (a free marker or a moving body, `extentMm`
    // across) on its circle above the floor.
    RigidPose floorPathPose(size_t item, double extentMm, long frameIndex) const;
    cv::Mat renderPosed(long frameIndex, std::vector<MarkerTruth>* truth) const;
    void addNoise(long frameIndex, cv::Mat& frame) const;
    SyntheticView view_;
    RigidPose cameraToWorld_, worldToCamera_;
    int worldBody_ = -1;
    std::vector<bool> hiddenMarker_;
    double floorCentre_[3] = {0, 0, 0};  // of the floor's members, world mm
    double floorExtentMm_ = 300.0;
    // Item i of the scene (a free marker or a body) on its own cell's path,
    // `extentMm` across.
    void pathPose(size_t item, double extentMm, long frameIndex, double transform[3][4]) const;
    std::vector<int> bodyOf_;   // per marker: its body, or -1
    std::vector<int> itemOf_;   // per marker and then per body: its cell
    size_t items_ = 0;
    std::vector<Body> bodies_;
    CameraParam camera_;
    std::vector<cv::Mat> patterns_;
    std::vector<double> widthsMm_;
    RenderSettings settings_;
    // Sensor noise, drawn once: a frame adds the positive and subtracts the
    // negative part of a window that moves with the frame number, so every
    // frame is grainy without the cost of fresh random numbers.
    cv::Mat noisePositive_, noiseNegative_;
};

const CameraBackendKind& syntheticCameraKind();
