#pragma once
// Views of a printed chessboard rendered through a known camera, for the
// calibration tests: varied distances, tilts and positions that together
// reach the corners of the frame, where the distortion shows most.
#include <vector>
#include <opencv2/core.hpp>
#include "render.h"

// The camera the calibration goals are stated for: 640 x 480, strong barrel
// distortion (factor 40, scale 1), principal point slightly off centre.
inline CameraParam calibrationTruth() {
    CameraParam camera = makeCameraParam(640, 480, 600.0, 40.0);
    camera.projection[0][2] = camera.distortion[0] = 326.0;
    camera.projection[1][2] = camera.distortion[1] = 236.0;
    return camera;
}

// `count` views (at most 15) of a cols x rows board of squareMm squares.
inline std::vector<cv::Mat> renderChessboardViews(const CameraParam& camera, int cols, int rows, double squareMm,
                                                  int count, const RenderSettings& settings) {
    // distance (in board widths), tilt x, tilt y, roll, image x, image y
    static const double views[15][6] = {
        {1.7, 0, 0, 0, 320, 240},      {2.0, 25, 0, 5, 170, 130},    {2.0, -25, 10, -5, 470, 350},
        {2.0, 10, 30, 10, 160, 350},   {2.0, -10, -30, -8, 480, 130}, {2.4, 35, -15, 20, 150, 125},
        {2.2, -30, 20, -15, 520, 380}, {2.2, 20, 25, 3, 520, 100},    {2.2, -20, -25, -3, 120, 380},
        {2.1, 15, -35, 12, 320, 140},  {1.9, -15, 35, -12, 320, 370}, {2.6, 40, 0, 30, 130, 240},
        {2.4, -40, 5, -30, 540, 240},  {1.6, 5, -10, 45, 320, 250},   {2.6, 0, 45, 0, 320, 240}};
    PrintedMarker board = makeChessboard(cols, rows, squareMm);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count && i < 15; ++i) {
        const double* v = views[i];
        poseFromView(camera, v[0] * board.widthMm * camera.projection[0][0] / camera.xsize, v[1], v[2], v[3], v[4],
                     v[5], board.transform);
        RenderSettings s = settings;
        s.seed = static_cast<uint32_t>(i + 1);
        frames.push_back(renderFrame(camera, {board}, s));
    }
    return frames;
}
