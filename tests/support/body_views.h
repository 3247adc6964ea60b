#pragma once
// Views of a rigid body from many sides, for measuring it: the camera at a
// distance along a direction given in the body frame, looking at a point
// of the body, rolled about its optical axis, and shifted so that the point
// is seen at a chosen pixel.
#include <cmath>
#include "camera_param.h"
#include "rigid_pose.h"

// Body to camera. `from` (body frame, any length) points from `target`
// towards the camera.
inline RigidPose viewOfBody(const CameraParam& camera, const double target[3], const double from[3],
                            double distanceMm, double rollDeg, double imageX, double imageY) {
    const double n = std::sqrt(from[0] * from[0] + from[1] * from[1] + from[2] * from[2]);
    const double z[3] = {-from[0] / n, -from[1] / n, -from[2] / n};
    // Any axis across the line of sight will do; the roll turns it anyway.
    const double helper[3] = {std::fabs(z[0]) < 0.9 ? 1.0 : 0.0, std::fabs(z[0]) < 0.9 ? 0.0 : 1.0, 0.0};
    double x[3] = {helper[1] * z[2] - helper[2] * z[1], helper[2] * z[0] - helper[0] * z[2],
                   helper[0] * z[1] - helper[1] * z[0]};
    const double nx = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    for (double& v : x) v /= nx;
    const double y[3] = {z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]};
    const double roll = rollDeg * 3.14159265358979323846 / 180;
    RigidPose view;  // rows: the camera's axes in the body frame
    for (int c = 0; c < 3; ++c) {
        view.R[0][c] = std::cos(roll) * x[c] + std::sin(roll) * y[c];
        view.R[1][c] = -std::sin(roll) * x[c] + std::cos(roll) * y[c];
        view.R[2][c] = z[c];
    }
    const double fx = camera.projection[0][0], fy = camera.projection[1][1];
    const double cx = camera.projection[0][2], cy = camera.projection[1][2];
    const double seen[3] = {(imageX - cx) / fx * distanceMm, (imageY - cy) / fy * distanceMm, distanceMm};
    for (int r = 0; r < 3; ++r)
        view.t[r] = seen[r] - (view.R[r][0] * target[0] + view.R[r][1] * target[1] + view.R[r][2] * target[2]);
    return view;
}
