#pragma once
// Rendered scenes for the detector's upper stages: install a camera, render
// printed markers, detect, and compare with the renderer's truth.
#include <cmath>
#include <string>
#include <vector>
#include "detect_markers.h"
#include "detector_state.h"
#include "render.h"
#include "squares.h"

// A fresh detector with `camera` installed.
inline void installCamera(const CameraParam& camera) {
    resetDetector();
    setWorkingCameraParam(camera);
}

inline PrintedMarker markerAt(const cv::Mat& pattern, const CameraParam& camera, double widthMm,
                              double distanceMm, double tiltX, double tiltY, double roll, double x, double y) {
    PrintedMarker marker;
    marker.pattern = pattern;
    marker.widthMm = widthMm;
    poseFromView(camera, distanceMm, tiltX, tiltY, roll, x, y, marker.transform);
    return marker;
}

// Detects on the BGR frame; the markers stay valid until the next detection.
inline std::vector<MarkerInfo> detect(const cv::Mat& bgr, bool withHistory = false) {
    const cv::Mat frame = toDetectorFrame(bgr);
    MarkerInfo* markers = nullptr;
    int count = 0;
    const int result = withHistory ? detectMarkersWithHistory(frame.data, 100, &markers, &count)
                                   : detectMarkers(frame.data, 100, &markers, &count);
    if (result < 0) return {};
    return std::vector<MarkerInfo>(markers, markers + count);
}

// A marker record built straight from the renderer's truth: exact corners and
// the lines through them, in pattern order, as a detection with dir 0 has.
inline MarkerInfo markerFromTruth(const MarkerTruth& truth) {
    MarkerInfo marker{};
    marker.dir = 0;
    for (int k = 0; k < 4; ++k) {
        marker.vertex[k][0] = truth.corner[k][0];
        marker.vertex[k][1] = truth.corner[k][1];
    }
    for (int k = 0; k < 4; ++k) {
        const double* p = marker.vertex[k];
        const double* q = marker.vertex[(k + 1) % 4];
        const double a = q[1] - p[1], b = p[0] - q[0];
        const double n = std::sqrt(a * a + b * b);
        marker.line[k][0] = a / n;
        marker.line[k][1] = b / n;
        marker.line[k][2] = -(a * p[0] + b * p[1]) / n;
    }
    return marker;
}

// Squared distances of the marker's pattern-order vertices from the truth.
inline double cornerSquaredError(const MarkerInfo& marker, const MarkerTruth& truth) {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double* v = marker.vertex[(k + 4 - marker.dir) % 4];
        sum += std::pow(v[0] - truth.corner[k][0], 2) + std::pow(v[1] - truth.corner[k][1], 2);
    }
    return sum;
}

// Angle of R_a^T R_b in degrees.
inline double rotationAngleDeg(const double a[3][4], const double b[3][4]) {
    double trace = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += a[r][c] * b[r][c];
    const double cosine = std::max(-1.0, std::min(1.0, (trace - 1.0) / 2.0));
    return std::acos(cosine) * 180.0 / 3.14159265358979323846;
}

inline double translationError(const double a[3][4], const double b[3][4]) {
    return std::sqrt(std::pow(a[0][3] - b[0][3], 2) + std::pow(a[1][3] - b[1][3], 2) +
                     std::pow(a[2][3] - b[2][3], 2));
}
