#include "world_frame.h"
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

void setQuaternionPose(CameraInWorld& camera, const double q[4], const double t[3]) {
    camera.pose = poseFromQuaternion(q[0], q[1], q[2], q[3], t[0], t[1], t[2]);
    quaternionOf(camera.pose.R, camera.quaternion);
}

} // namespace

void worldPoseOf(const CameraInWorld& camera, const RigidPose& inCamera, double position[3], double quaternion[4]) {
    const RigidPose world = composePoses(camera.pose, inCamera);
    for (int r = 0; r < 3; ++r) position[r] = world.t[r];
    quaternionOf(world.R, quaternion);
}

// The mean of the positions and of the quaternions (each turned to the
// first one's side of the sphere, then normalised): for turns as close as
// one fixed camera's estimates this is the least-squares mean rotation.
void WorldFrame::average(const RigidPose& sample) {
    double q[4];
    quaternionOf(sample.R, q);
    if (camera_.frames > 0) {
        const double distance = std::sqrt(sample.t[0] * sample.t[0] + sample.t[1] * sample.t[1] + sample.t[2] * sample.t[2]);
        double dt = 0;
        for (int r = 0; r < 3; ++r) dt += std::pow(sample.t[r] - camera_.pose.t[r], 2);
        const bool far = std::sqrt(dt) > kCameraMovedShare * distance ||
                         rotationBetween(sample.R, camera_.pose.R) * 180 / kPi > kCameraMovedDeg;
        if (far) {
            // One stray frame (a poor fit) is left out; several in a row
            // mean the camera has been bumped.
            if (++moved_ < kCameraMovedFrames) return;
            camera_.frames = 0;
            for (double& v : sumT_) v = 0;
            for (double& v : sumQ_) v = 0;
        }
    }
    moved_ = 0;
    const double dot = q[0] * sumQ_[0] + q[1] * sumQ_[1] + q[2] * sumQ_[2] + q[3] * sumQ_[3];
    const double sign = dot < 0 ? -1.0 : 1.0;
    for (int i = 0; i < 4; ++i) sumQ_[i] += sign * q[i];
    for (int r = 0; r < 3; ++r) sumT_[r] += sample.t[r];
    ++camera_.frames;
    const double t[3] = {sumT_[0] / camera_.frames, sumT_[1] / camera_.frames, sumT_[2] / camera_.frames};
    setQuaternionPose(camera_, sumQ_, t);
    camera_.known = true;
}

void WorldFrame::update(BodyTable& bodies, ResultTable& markers) {
    const BodyPose* world = nullptr;
    for (const BodyPose& body : bodies)
        if (body.name == options_.body) world = &body;
    if (world) {
        const RigidPose cameraInWorld = inversePose(world->pose);
        if (options_.cameraFixed) {
            average(cameraInWorld);
        } else {
            camera_.known = true;
            camera_.frames = 1;
            camera_.pose = cameraInWorld;
            quaternionOf(camera_.pose.R, camera_.quaternion);
        }
    } else if (!options_.cameraFixed) {
        camera_.known = false;
    }
    if (!camera_.known) return;
    for (BodyPose& body : bodies) {
        body.hasWorld = true;
        worldPoseOf(camera_, body.pose, body.worldPosition, body.worldQuaternion);
    }
    for (MarkerResult& marker : markers) {
        marker.hasWorld = true;
        worldPoseOf(camera_, poseFromGlMatrix(marker.glMatrix), marker.worldPosition, marker.worldQuaternion);
    }
}
