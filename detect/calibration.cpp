#include "calibration.h"
#include "least_squares.h"
#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// The file stores the radial factor multiplied by 1e8 (camera_param.cpp).
constexpr double kRadialFactorScale = 100000000.0;

// Intrinsics of the record that the fit varies, in this order; s stays 1
// and the skew 0.
enum Intrinsic { Fx, Fy, Cx, Cy, X0, Y0, Radial, kIntrinsics };

CameraParam recordOf(const double* k, cv::Size size) {
    CameraParam record;
    record.xsize = size.width;
    record.ysize = size.height;
    record.projection[0][0] = k[Fx];
    record.projection[0][2] = k[Cx];
    record.projection[1][1] = k[Fy];
    record.projection[1][2] = k[Cy];
    record.projection[2][2] = 1.0;
    record.distortion[0] = k[X0];
    record.distortion[1] = k[Y0];
    record.distortion[2] = k[Radial];
    record.distortion[3] = 1.0;
    return record;
}

// The observed pixel of a point in camera coordinates (or of a ray's
// direction: only its ratios count) through the record's model.
cv::Point2d observe(const double* k, const cv::Vec3d& c) {
    const double distortion[4] = {k[X0], k[Y0], k[Radial], 1.0};
    cv::Point2d o;
    idealToObserved(distortion, k[Fx] * c[0] / c[2] + k[Cx], k[Fy] * c[1] / c[2] + k[Cy], &o.x, &o.y);
    return o;
}

// Board corners of one view in the finder's order, on the board's plane.
std::vector<cv::Point3f> boardModel(const ChessboardSpec& board) {
    std::vector<cv::Point3f> model;
    for (int r = 0; r < board.rows; ++r)
        for (int c = 0; c < board.cols; ++c)
            model.emplace_back(static_cast<float>(c * board.squareMm), static_cast<float>(r * board.squareMm), 0.f);
    return model;
}

// Parameters: the intrinsics, then rvec and tvec of each view.
void viewResiduals(const std::vector<ChessboardView>& views, const std::vector<cv::Point3f>& model,
                   const std::vector<double>& p, std::vector<double>& residuals) {
    residuals.clear();
    for (size_t v = 0; v < views.size(); ++v) {
        const double* pose = &p[kIntrinsics + 6 * v];
        cv::Matx33d R;
        cv::Rodrigues(cv::Vec3d(pose[0], pose[1], pose[2]), R);
        const cv::Vec3d t(pose[3], pose[4], pose[5]);
        for (size_t i = 0; i < model.size(); ++i) {
            const cv::Point2d o = observe(p.data(), R * cv::Vec3d(model[i].x, model[i].y, model[i].z) + t);
            residuals.push_back(o.x - views[v][i].x);
            residuals.push_back(o.y - views[v][i].y);
        }
    }
}

double rootMeanSquare(double sumOfSquares, size_t points) {
    return points == 0 ? 0.0 : std::sqrt(sumOfSquares / points);
}

// Sub-pixel window: as large as OpenCV's sample uses, but never reaching
// the next corner, whose edges would pull the estimate.
cv::Size subPixelWindow(const std::vector<cv::Point2f>& corners, const ChessboardSpec& board) {
    double nearest = 1e9;
    for (int r = 0; r < board.rows; ++r)
        for (int c = 0; c + 1 < board.cols; ++c)
            nearest = std::min(nearest, cv::norm(corners[r * board.cols + c] - corners[r * board.cols + c + 1]));
    const int half = std::clamp(static_cast<int>(nearest * 0.4), 2, 11);
    return cv::Size(half, half);
}

} // namespace

bool findChessboard(const cv::Mat& image, const ChessboardSpec& board, std::vector<cv::Point2f>& corners) {
    if (image.empty() || board.cols < 2 || board.rows < 2) return false;
    cv::Mat grey;
    if (image.channels() == 1) grey = image;
    else cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    const int flags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_FAST_CHECK;
    if (!cv::findChessboardCorners(grey, cv::Size(board.cols, board.rows), corners, flags)) return false;
    cv::cornerSubPix(grey, corners, subPixelWindow(corners, board), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 40, 0.001));
    return true;
}

bool calibrateFromViews(const std::vector<ChessboardView>& views, const ChessboardSpec& board, cv::Size size,
                        CalibrationResult& result, std::string& error) {
    if (static_cast<int>(views.size()) < kMinCalibrationViews) {
        error = "needs at least " + std::to_string(kMinCalibrationViews) + " views of the board, has " +
                std::to_string(views.size());
        return false;
    }
    const std::vector<cv::Point3f> model = boardModel(board);
    for (const ChessboardView& view : views) {
        if (view.size() != model.size()) {
            error = "a view holds " + std::to_string(view.size()) + " corners where the board has " +
                    std::to_string(model.size());
            return false;
        }
    }
    const std::vector<std::vector<cv::Point3f>> objects(views.size(), model);
    cv::Mat K, coefficients;
    std::vector<cv::Mat> rvecs, tvecs;
    // One radial term, as the record has; OpenCV's k1 acts on normalised
    // radii where the record's factor acts on pixels, hence the conversion.
    const int flags = cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    try {
        cv::calibrateCamera(objects, views, size, K, coefficients, rvecs, tvecs, flags);
    } catch (const cv::Exception& e) {
        error = "the calibration failed: " + e.err;
        return false;
    }
    std::vector<double> p(kIntrinsics + 6 * views.size());
    p[Fx] = K.at<double>(0, 0);
    p[Fy] = K.at<double>(1, 1);
    p[Cx] = p[X0] = K.at<double>(0, 2);
    p[Cy] = p[Y0] = K.at<double>(1, 2);
    p[Radial] = -coefficients.at<double>(0) / (p[Fx] * p[Fy]) * kRadialFactorScale;
    for (size_t v = 0; v < views.size(); ++v)
        for (int k = 0; k < 3; ++k) {
            p[kIntrinsics + 6 * v + k] = rvecs[v].at<double>(k);
            p[kIntrinsics + 6 * v + 3 + k] = tvecs[v].at<double>(k);
        }
    const double cost = fitLeastSquares(
        [&](const std::vector<double>& q, std::vector<double>& r) { viewResiduals(views, model, q, r); }, p, 50);
    if (!std::isfinite(cost) || p[Fx] <= 0 || p[Fy] <= 0) {
        error = "the fit of the lens model did not converge";
        return false;
    }
    result.param = recordOf(p.data(), size);
    result.rmsPx = rootMeanSquare(cost, views.size() * model.size());
    result.coverage = boardCoverage(views, size);
    result.views = static_cast<int>(views.size());
    return true;
}

double boardCoverage(const std::vector<ChessboardView>& views, cv::Size size) {
    // A quarter-resolution mask is plenty for a share of the frame.
    const double scale = 0.25;
    cv::Mat mask = cv::Mat::zeros(std::max(1, static_cast<int>(size.height * scale)),
                                  std::max(1, static_cast<int>(size.width * scale)), CV_8U);
    for (const ChessboardView& view : views) {
        std::vector<cv::Point> points, hull;
        for (const cv::Point2f& c : view) points.emplace_back(cvRound(c.x * scale), cvRound(c.y * scale));
        if (points.size() < 3) continue;
        cv::convexHull(points, hull);
        cv::fillConvexPoly(mask, hull, cv::Scalar(255));
    }
    return static_cast<double>(cv::countNonZero(mask)) / mask.total();
}

double viewDistance(const ChessboardView& a, const ChessboardView& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    // The finder may list the same board from its other end.
    double forward = 0, backward = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        forward += cv::norm(a[i] - b[i]);
        backward += cv::norm(a[i] - b[b.size() - 1 - i]);
    }
    return std::min(forward, backward) / a.size();
}

LensFit fitLensCalibration(const LensCalibration& lens, cv::Size size) {
    // Pairs of (ray, observed pixel) over a grid covering the frame: the
    // pixel is undistorted by OpenCV's model into a ray, and the ray kept
    // only if OpenCV projects it back onto the pixel, since the inverse of
    // a strong distortion can fail near the corners.
    const cv::Mat K(lens.cameraMatrix);
    const cv::Mat coefficients(lens.distortion, true);
    std::vector<cv::Point2f> grid;
    const int steps = 24;
    for (int j = 0; j <= steps; ++j)
        for (int i = 0; i <= steps; ++i)
            grid.emplace_back(static_cast<float>((size.width - 1) * i / double(steps)),
                              static_cast<float>((size.height - 1) * j / double(steps)));
    std::vector<cv::Point2f> normal;
    cv::undistortPoints(grid, normal, K, coefficients, cv::noArray(), cv::noArray(),
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
    std::vector<cv::Point3f> rays;
    for (const cv::Point2f& n : normal) rays.emplace_back(n.x, n.y, 1.f);
    std::vector<cv::Point2f> back;
    cv::projectPoints(rays, cv::Vec3d(), cv::Vec3d(), K, coefficients, back);
    std::vector<cv::Vec3d> keptRays;
    std::vector<cv::Point2d> keptPixels;
    for (size_t i = 0; i < grid.size(); ++i) {
        if (cv::norm(back[i] - grid[i]) > 1e-3) continue;
        keptRays.emplace_back(rays[i].x, rays[i].y, 1.0);
        keptPixels.emplace_back(grid[i].x, grid[i].y);
    }

    LensFit fit;
    // Too few points survive only a lens whose model folds over within the
    // frame; no record can stand for it.
    if (keptRays.size() < grid.size() / 4) {
        fit.rmsPx = fit.maxPx = std::numeric_limits<double>::infinity();
        return fit;
    }
    std::vector<double> p(kIntrinsics);
    p[Fx] = lens.cameraMatrix(0, 0);
    p[Fy] = lens.cameraMatrix(1, 1);
    p[Cx] = p[X0] = lens.cameraMatrix(0, 2);
    p[Cy] = p[Y0] = lens.cameraMatrix(1, 2);
    const double k1 = lens.distortion.empty() ? 0.0 : lens.distortion[0];
    p[Radial] = -k1 / (p[Fx] * p[Fy]) * kRadialFactorScale;
    const auto residuals = [&](const std::vector<double>& q, std::vector<double>& r) {
        r.clear();
        for (size_t i = 0; i < keptRays.size(); ++i) {
            const cv::Point2d o = observe(q.data(), keptRays[i]);
            r.push_back(o.x - keptPixels[i].x);
            r.push_back(o.y - keptPixels[i].y);
        }
    };
    const double cost = fitLeastSquares(residuals, p, 100);
    fit.param = recordOf(p.data(), size);
    fit.rmsPx = rootMeanSquare(cost, keptRays.size());
    std::vector<double> r;
    residuals(p, r);
    for (size_t i = 0; i + 1 < r.size(); i += 2) fit.maxPx = std::max(fit.maxPx, std::hypot(r[i], r[i + 1]));
    return fit;
}
