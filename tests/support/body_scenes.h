#pragma once
// Rigid bodies of several printed markers rendered at known poses, for the
// body tests and benchmarks: a flat board and a cube with markers on five
// faces, filmed from varied directions and distances. Faces turned away
// from the camera (or seen nearly edge-on) are not drawn.
#include <cmath>
#include <vector>
#include <opencv2/core.hpp>
#include "body_measure.h"
#include "render.h"

struct BodyMemberPrint {
    cv::Mat pattern;
    double widthMm = 50;
    RigidPose pose;  // member to body
};

// cols x rows members in reading order, `gapMm` of paper between the black
// squares, the first member's frame the body's: member (r, c) at
// (c (w + gap), -r (w + gap), 0), axes the body's.
inline std::vector<RigidPose> boardLayout(int cols, int rows, double widthMm, double gapMm) {
    std::vector<RigidPose> poses;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            RigidPose p;
            p.t[0] = c * (widthMm + gapMm);
            p.t[1] = -r * (widthMm + gapMm);
            poses.push_back(p);
        }
    return poses;
}

// A cube of side 1.5 w (so that the markers' white borders meet at its
// edges) with markers on its top (+Z, the first member, the body frame)
// and on its four sides +X, -X, +Y, -Y.
inline std::vector<RigidPose> cubeLayout(double widthMm) {
    const double h = 0.75 * widthMm;
    // Each face's marker axes X, Y, Z in the body frame.
    const double axes[5][3][3] = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                                  {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
                                  {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
                                  {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},
                                  {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}};
    std::vector<RigidPose> poses;
    for (const auto& a : axes) {
        RigidPose p;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) p.R[r][c] = a[c][r];
            p.t[r] = h * a[2][r] - (r == 2 ? h : 0);
        }
        poses.push_back(p);
    }
    return poses;
}

// The markers of the body as the camera sees them at `bodyToCamera`; the
// members drawn, by index, in `shown`.
inline std::vector<PrintedMarker> printedBody(const std::vector<BodyMemberPrint>& members,
                                              const RigidPose& bodyToCamera, std::vector<int>* shown = nullptr) {
    std::vector<PrintedMarker> printed;
    if (shown) shown->clear();
    for (size_t m = 0; m < members.size(); ++m) {
        const RigidPose toCamera = composePoses(bodyToCamera, members[m].pose);
        const double* c = toCamera.t;
        const double n[3] = {toCamera.R[0][2], toCamera.R[1][2], toCamera.R[2][2]};
        const double facing = -(n[0] * c[0] + n[1] * c[1] + n[2] * c[2]) / std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        if (facing < 0.25) continue;  // turned away, or within 15 degrees of edge-on
        PrintedMarker marker;
        marker.pattern = members[m].pattern;
        marker.widthMm = members[m].widthMm;
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) marker.transform[r][k] = toCamera.R[r][k];
            marker.transform[r][3] = toCamera.t[r];
        }
        printed.push_back(marker);
        if (shown) shown->push_back(static_cast<int>(m));
    }
    return printed;
}

// The body seen from `distanceMm` away along the direction (azimuth,
// elevation in degrees, elevation 90 looking straight down the body's +Z),
// `target` (body frame) on the optical axis, turned by `rollDeg` about it and
// then shifted so that the target is seen at the ideal pixel (imageX, imageY).
inline RigidPose viewOfBody(const CameraParam& camera, const double target[3], double distanceMm, double azimuthDeg,
                            double elevationDeg, double rollDeg, double imageX, double imageY) {
    const double d2r = 3.14159265358979323846 / 180;
    const double az = azimuthDeg * d2r, el = elevationDeg * d2r, roll = rollDeg * d2r;
    // The camera's axes in the body frame: Z towards the target, X and Y across.
    const double z[3] = {-std::cos(el) * std::cos(az), -std::cos(el) * std::sin(az), -std::sin(el)};
    double up[3] = {0, 0, 1};
    if (std::fabs(z[2]) > 0.99) up[0] = 1, up[2] = 0;
    double x[3] = {up[1] * z[2] - up[2] * z[1], up[2] * z[0] - up[0] * z[2], up[0] * z[1] - up[1] * z[0]};
    const double nx = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    for (double& v : x) v /= nx;
    double y[3] = {z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]};
    double xr[3], yr[3];
    for (int i = 0; i < 3; ++i) {
        xr[i] = std::cos(roll) * x[i] + std::sin(roll) * y[i];
        yr[i] = -std::sin(roll) * x[i] + std::cos(roll) * y[i];
    }
    RigidPose view;  // body to camera: rows are the camera's axes in the body frame
    for (int c = 0; c < 3; ++c) view.R[0][c] = xr[c], view.R[1][c] = yr[c], view.R[2][c] = z[c];
    // The target at depth distanceMm on the ray through (imageX, imageY).
    const double fx = camera.projection[0][0], fy = camera.projection[1][1];
    const double cx = camera.projection[0][2], cy = camera.projection[1][2];
    const double seen[3] = {(imageX - cx) / fx * distanceMm, (imageY - cy) / fy * distanceMm, distanceMm};
    for (int r = 0; r < 3; ++r)
        view.t[r] = seen[r] - (view.R[r][0] * target[0] + view.R[r][1] * target[1] + view.R[r][2] * target[2]);
    return view;
}

// The position and rotation error of a measured member pose against the truth.
inline double positionErrorMm(const RigidPose& a, const RigidPose& b) {
    return std::sqrt(std::pow(a.t[0] - b.t[0], 2) + std::pow(a.t[1] - b.t[1], 2) + std::pow(a.t[2] - b.t[2], 2));
}
