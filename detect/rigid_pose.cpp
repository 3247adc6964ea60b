#include "rigid_pose.h"
#include <algorithm>

RigidPose composePoses(const RigidPose& a, const RigidPose& b) {
    RigidPose out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) out.R[r][c] = a.R[r][0] * b.R[0][c] + a.R[r][1] * b.R[1][c] + a.R[r][2] * b.R[2][c];
        out.t[r] = a.R[r][0] * b.t[0] + a.R[r][1] * b.t[1] + a.R[r][2] * b.t[2] + a.t[r];
    }
    return out;
}

RigidPose inversePose(const RigidPose& pose) {
    RigidPose out;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.R[r][c] = pose.R[c][r];
    for (int r = 0; r < 3; ++r) out.t[r] = -(out.R[r][0] * pose.t[0] + out.R[r][1] * pose.t[1] + out.R[r][2] * pose.t[2]);
    return out;
}

RigidPose poseFromQuaternion(double w, double x, double y, double z, double px, double py, double pz) {
    const double n = std::sqrt(w * w + x * x + y * y + z * z);
    if (n > 0) w /= n, x /= n, y /= n, z /= n;
    RigidPose p;
    p.R[0][0] = 1 - 2 * (y * y + z * z), p.R[0][1] = 2 * (x * y - w * z), p.R[0][2] = 2 * (x * z + w * y);
    p.R[1][0] = 2 * (x * y + w * z), p.R[1][1] = 1 - 2 * (x * x + z * z), p.R[1][2] = 2 * (y * z - w * x);
    p.R[2][0] = 2 * (x * z - w * y), p.R[2][1] = 2 * (y * z + w * x), p.R[2][2] = 1 - 2 * (x * x + y * y);
    p.t[0] = px, p.t[1] = py, p.t[2] = pz;
    return p;
}

void quaternionOf(const double R[3][3], double q[4]) {
    // Shepperd's choice: the largest of the four squares is taken first, so
    // no division by a small number.
    const double trace = R[0][0] + R[1][1] + R[2][2];
    const double squares[4] = {1 + trace, 1 + R[0][0] - R[1][1] - R[2][2], 1 - R[0][0] + R[1][1] - R[2][2],
                               1 - R[0][0] - R[1][1] + R[2][2]};
    const int k = static_cast<int>(std::max_element(squares, squares + 4) - squares);
    const double s = 2 * std::sqrt(std::max(squares[k], 1e-300));
    switch (k) {
    case 0:
        q[0] = s / 4, q[1] = (R[2][1] - R[1][2]) / s, q[2] = (R[0][2] - R[2][0]) / s, q[3] = (R[1][0] - R[0][1]) / s;
        break;
    case 1:
        q[0] = (R[2][1] - R[1][2]) / s, q[1] = s / 4, q[2] = (R[0][1] + R[1][0]) / s, q[3] = (R[0][2] + R[2][0]) / s;
        break;
    case 2:
        q[0] = (R[0][2] - R[2][0]) / s, q[1] = (R[0][1] + R[1][0]) / s, q[2] = s / 4, q[3] = (R[1][2] + R[2][1]) / s;
        break;
    default:
        q[0] = (R[1][0] - R[0][1]) / s, q[1] = (R[0][2] + R[2][0]) / s, q[2] = (R[1][2] + R[2][1]) / s, q[3] = s / 4;
        break;
    }
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    const double sign = q[0] < 0 ? -1.0 : 1.0;
    for (int i = 0; i < 4; ++i) q[i] *= sign / n;
}

RigidPose poseFromTransform(const double transform[3][4]) {
    RigidPose p;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) p.R[r][c] = transform[r][c];
        p.t[r] = transform[r][3];
    }
    return p;
}

void poseToTransform(const RigidPose& pose, double transform[3][4]) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) transform[r][c] = pose.R[r][c];
        transform[r][3] = pose.t[r];
    }
}

RigidPose poseFromGlMatrix(const double gl[16]) {
    RigidPose p;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) p.R[r][c] = gl[c * 4 + r];
        p.t[r] = gl[12 + r];
    }
    return p;
}

void poseToGlMatrix(const RigidPose& pose, double gl[16]) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) gl[c * 4 + r] = pose.R[r][c];
        gl[12 + r] = pose.t[r];
    }
    gl[3] = gl[7] = gl[11] = 0.0;
    gl[15] = 1.0;
}

double rotationBetween(const double a[3][3], const double b[3][3]) {
    // trace(a^T b) = 1 + 2 cos(angle)
    double trace = 0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += a[r][c] * b[r][c];
    return std::acos(std::max(-1.0, std::min(1.0, (trace - 1) / 2)));
}

void turnRotation(const double v[3], const double R[3][3], double out[3][3]) {
    const double angle = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    double turn[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    if (angle > 0.0) {
        const double k[3] = {v[0] / angle, v[1] / angle, v[2] / angle};
        const double c = std::cos(angle), s = std::sin(angle), w = 1 - c;
        turn[0][0] = c + k[0] * k[0] * w, turn[0][1] = k[0] * k[1] * w - k[2] * s, turn[0][2] = k[0] * k[2] * w + k[1] * s;
        turn[1][0] = k[1] * k[0] * w + k[2] * s, turn[1][1] = c + k[1] * k[1] * w, turn[1][2] = k[1] * k[2] * w - k[0] * s;
        turn[2][0] = k[2] * k[0] * w - k[1] * s, turn[2][1] = k[2] * k[1] * w + k[0] * s, turn[2][2] = c + k[2] * k[2] * w;
    }
    double result[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) result[r][c] = turn[r][0] * R[0][c] + turn[r][1] * R[1][c] + turn[r][2] * R[2][c];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = result[r][c];
}

