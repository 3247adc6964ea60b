#include "body_report.h"
#include <cstdio>

BodyTable LatestBodies;
CameraInWorld LatestCamera;
std::atomic<bool> BodiesServed{false};

namespace {

// Seven numbers: a position and a quaternion.
std::string poseNumbers(const double t[3], const double q[4]) {
    char text[256];
    std::snprintf(text, sizeof text, "%lf,%lf,%lf,%lf,%lf,%lf,%lf", t[0], t[1], t[2], q[0], q[1], q[2], q[3]);
    return text;
}

} // namespace

std::string formatBodyLine(const BodyPose& body) {
    char tail[64];
    std::snprintf(tail, sizeof tail, ",%zu,%lf", body.members.size(), body.rmsPx);
    return body.name + "," + poseNumbers(body.pose.t, body.quaternion) + tail;
}

std::string bodiesReportText(const BodyTable& bodies) {
    std::string text = "Num= " + std::to_string(bodies.size()) + "\n";
    for (const BodyPose& body : bodies) text += formatBodyLine(body) + "\n";
    return text;
}

std::string namedBodyReportText(const BodyTable& bodies, const std::string& name) {
    BodyTable named;
    for (const BodyPose& body : bodies)
        if (body.name == name) named.push_back(body);
    return bodiesReportText(named);
}

std::string cameraReportText(const CameraInWorld& camera) {
    if (!camera.known) return "*error\n";
    return poseNumbers(camera.pose.t, camera.quaternion) + "\n";
}
