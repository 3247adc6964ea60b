#pragma once
// A rigid transform [R | t] (millimetres) with the few operations bodies and
// the world frame need: composition, inverse, unit quaternions (QW QX QY QZ,
// the order ROS tools use) and the column-major matrix of `glmatrix`.
#include <cmath>

struct RigidPose {
    double R[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double t[3] = {0, 0, 0};
};

// a then b: the pose that maps x to a(b(x)).
RigidPose composePoses(const RigidPose& a, const RigidPose& b);
RigidPose inversePose(const RigidPose& pose);

// From a unit quaternion (normalised here) and a position.
RigidPose poseFromQuaternion(double qw, double qx, double qy, double qz, double x, double y, double z);
// The unit quaternion of R with QW >= 0, so each turn has one spelling.
void quaternionOf(const double R[3][3], double q[4]);

// A 3 x 4 transform (rows, rotation then translation) as the detector's
// pose and the renderer use it, and back.
RigidPose poseFromTransform(const double transform[3][4]);
void poseToTransform(const RigidPose& pose, double transform[3][4]);
// The column-major 4 x 4 matrix of `glmatrix`, and back.
RigidPose poseFromGlMatrix(const double gl[16]);
void poseToGlMatrix(const RigidPose& pose, double gl[16]);

// The turn (radians) that takes a's rotation onto b's.
double rotationBetween(const double a[3][3], const double b[3][3]);
// R turned by the rotation vector `v` (radians, axis times angle), on the left.
void turnRotation(const double v[3], const double R[3][3], double out[3][3]);

// Where `point` goes under `pose`.
// Inline: the body fit projects every corner several times a step.
inline void transformPoint(const RigidPose& pose, const double point[3], double out[3]) {
    double result[3];
    for (int r = 0; r < 3; ++r)
        result[r] = pose.R[r][0] * point[0] + pose.R[r][1] * point[1] + pose.R[r][2] * point[2] + pose.t[r];
    for (int r = 0; r < 3; ++r) out[r] = result[r];
}
