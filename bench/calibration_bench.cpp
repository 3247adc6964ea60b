// Cost of calibration on 15 rendered 640 x 480 chessboard views (blur 0.6
// px, noise 2 grey levels, radial factor 40): finding the corners, then the
// fit of the record's lens model, timed apart; the fitted camera is checked
// against the truth after the timed runs.
//   calibration_bench [runs]   (default 3)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include "calibration.h"
#include "chessboard_views.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const CameraParam truth = calibrationTruth();
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    settings.noiseSigma = 2.0;
    const std::vector<cv::Mat> frames = renderChessboardViews(truth, 9, 6, 25.0, 15, settings);
    const ChessboardSpec board{9, 6, 25.0};

    double findMs = 0, fitMs = 0;
    std::vector<ChessboardView> views;
    CalibrationResult result;
    for (int run = 0; run < runs; ++run) {
        views.clear();
        auto start = Clock::now();
        for (const cv::Mat& frame : frames) {
            ChessboardView corners;
            if (findChessboard(frame, board, corners)) views.push_back(corners);
        }
        findMs += msSince(start);
        start = Clock::now();
        std::string error;
        if (!calibrateFromViews(views, board, cv::Size(640, 480), result, error)) {
            std::fprintf(stderr, "calibration failed: %s\n", error.c_str());
            return 1;
        }
        fitMs += msSince(start);
    }
    const CameraParam& p = result.param;
    const double focalError = std::fabs(p.projection[0][0] / truth.projection[0][0] - 1) * 100;
    const double centreError = std::hypot(p.projection[0][2] - truth.projection[0][2],
                                          p.projection[1][2] - truth.projection[1][2]);
    const double radialError = std::fabs(p.distortion[2] / truth.distortion[2] - 1) * 100;
    std::printf("views found          %zu of %zu\n", views.size(), frames.size());
    std::printf("corner finding       %.1f ms for 15 views (%.1f ms a view)\n", findMs / runs, findMs / runs / 15);
    std::printf("fit of the model     %.1f ms\n", fitMs / runs);
    std::printf("focal length error   %.3f %%   centre error %.2f px   radial factor error %.2f %%   RMS %.3f px\n",
                focalError, centreError, radialError, result.rmsPx);
    const bool ok = views.size() == 15 && focalError < 0.5 && centreError < 2 && radialError < 10 && result.rmsPx < 0.3;
    std::printf("%s\n", ok ? "within the goals" : "OUTSIDE THE GOALS");
    return ok ? 0 : 1;
}
