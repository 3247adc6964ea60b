#pragma once
// A world frame: one body fixed in the room (markers on a wall, a table)
// whose frame is the world's. When it is in view the camera's pose in the
// world is fitted from it, and every marker and body also gets its pose in
// the world. A fixed camera averages its pose over the frames the world
// body was seen in and keeps it while the body is covered; a moving one
// (on a robot) has a pose of its own each frame.
#include <string>
#include "body_pose.h"
#include "marker_result.h"
#include "rigid_pose.h"

struct WorldOptions {
    std::string body;          // --world BODY, [WorldBody]; empty: no world frame
    bool cameraFixed = false;  // --camera-fixed, [CameraFixed] 1
    bool on() const { return !body.empty(); }
};

// The camera's pose in the world: camera frame to world frame, mm.
struct CameraInWorld {
    bool known = false;
    RigidPose pose;
    double quaternion[4] = {1, 0, 0, 0};
    int frames = 0;            // frames averaged (1 for a moving camera)
};

// A fixed camera that sees the world body this far from its average, in
// this many frames running, has been moved: the average starts again.
constexpr double kCameraMovedShare = 0.01;   // of the distance to the world body
constexpr double kCameraMovedDeg = 1.0;
constexpr int kCameraMovedFrames = 5;

class WorldFrame {
public:
    explicit WorldFrame(WorldOptions options) : options_(std::move(options)) {}

    // Takes this frame's bodies, fits (or averages) the camera's pose from
    // the world body among them, then gives every marker and body its world
    // pose while the camera's is known.
    void update(BodyTable& bodies, ResultTable& markers);
    const CameraInWorld& camera() const { return camera_; }
    const WorldOptions& options() const { return options_; }

private:
    void average(const RigidPose& sample);

    WorldOptions options_;
    CameraInWorld camera_;
    double sumT_[3] = {0, 0, 0};
    double sumQ_[4] = {0, 0, 0, 0};
    int moved_ = 0;
};

// The world pose of something whose camera pose is `inCamera`.
void worldPoseOf(const CameraInWorld& camera, const RigidPose& inCamera, double position[3], double quaternion[4]);
