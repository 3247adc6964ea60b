#pragma once
// Camera calibration into the record's own lens model: chessboard corners
// found in views of a printed board, or an existing OpenCV or ROS
// calibration, become a CameraParam whose projection and distortion (centre
// x0, y0, radial factor f, scale s) reproduce the observed pixels through
// idealToObserved, the mapping the detector and the pose use.
//
// The record's model is not OpenCV's: OpenCV's one-term radial model is
// only the starting point, and the record is then fitted by least squares
// on the observed pixels themselves. The scale s is held at 1: it multiplies
// every ideal offset from the centre exactly as the focal lengths do, so it
// cannot be told apart from them, and fixing it keeps the projection's
// focal lengths the camera's own.
#include <string>
#include <vector>
#include <opencv2/core.hpp>
#include "camera_param.h"

struct ChessboardSpec {
    int cols = 0;          // inner corners along a row
    int rows = 0;          // inner corners along a column
    double squareMm = 0;   // side of one printed square
};

// The board's inner corners in an image, refined to sub-pixel positions,
// in the finder's order. False when the whole board is not in view.
bool findChessboard(const cv::Mat& image, const ChessboardSpec& board, std::vector<cv::Point2f>& corners);

// One view of the board: the corners findChessboard returned.
using ChessboardView = std::vector<cv::Point2f>;

// Fewer views leave the focal lengths and the centre undetermined.
constexpr int kMinCalibrationViews = 3;

struct CalibrationResult {
    CameraParam param;      // at the images' size
    double rmsPx = 0;       // reprojection RMS of the corners through the record's model
    double coverage = 0;    // share of the frame covered by the boards seen, 0..1
    int views = 0;          // views used
};

// Calibrates from views of one board in images of `size`. False with
// `error` set when there are too few views or the fit fails.
bool calibrateFromViews(const std::vector<ChessboardView>& views, const ChessboardSpec& board, cv::Size size,
                        CalibrationResult& result, std::string& error);

// Share of a frame of `size` inside the union of the views' board outlines.
double boardCoverage(const std::vector<ChessboardView>& views, cv::Size size);

// Mean distance, in pixels, between the corners of two views of the same
// board, in whichever of the finder's two orders they match better: how
// different a new view is from one already kept.
double viewDistance(const ChessboardView& a, const ChessboardView& b);

// OpenCV's pinhole camera as its calibration files hold it.
struct LensCalibration {
    cv::Matx33d cameraMatrix;
    // k1, k2, p1, p2 [, k3 [, k4, k5, k6 [, s1..s4 [, tx, ty]]]]; empty = none
    std::vector<double> distortion;
    cv::Size size;          // 0 x 0 when the file does not say
};

// Reads an OpenCV calibration file (YAML or XML, `camera_matrix` and
// `distortion_coefficients`, optionally `image_width` and `image_height`)
// or a ROS camera_info YAML (the same keys, matrices as rows, cols, data,
// and `distortion_model`). False with `error` naming the file and what is
// missing or wrong: no positive, finite intrinsics or image size, or a lens
// model the record cannot express (fisheye). What the conversion drops is
// appended to `warnings`.
bool readLensCalibration(const std::string& path, LensCalibration& lens, std::string& error,
                         std::vector<std::string>* warnings = nullptr);

struct LensFit {
    CameraParam param;
    double rmsPx = 0;       // over a grid of points covering the frame
    double maxPx = 0;
};

// The record that best reproduces `lens` over a frame of `size`; an
// infinite residual when the lens cannot be followed over the frame.
LensFit fitLensCalibration(const LensCalibration& lens, cv::Size size);

// Writes `record` as the only record of `path`, refusing one with a
// cameraParamProblem. The new file is written whole beside it and renamed
// over it in one step; a file already there is first kept as the next
// backup, path.bak, path.bak.1, path.bak.2, ..., never replacing one, and
// named in `backupPath`. Nothing is changed unless all of it succeeded.
bool writeCameraParamKeepingBackup(const std::string& path, const CameraParam& record, std::string& error,
                                   std::string* backupPath = nullptr);
