#pragma once
// Renders printed square markers into frames at known poses through a
// CameraParam, lens distortion included, and reports the ground truth. Used
// by the tests, the benchmarks and the synthetic camera; the detector itself
// never calls it.
//
// Marker coordinates (millimetres) are those of estimateMarkerPose: the
// marker lies in the plane Z = 0, centred on the origin, X to the right of
// the printed pattern and Y towards its top edge. A pattern image's row 0 is
// drawn along the +Y edge and its column 0 along the -X edge, so the image's
// top-left corner sits at model corner 0 (-w, +w) with w = width / 2.
//
// Corner order of the truth, the same as the model corners of the pose:
//   0 = (-w, +w) pattern top-left      1 = (+w, +w) pattern top-right
//   2 = (+w, -w) pattern bottom-right  3 = (-w, -w) pattern bottom-left
// A detected marker with direction dir has vertex[(k + 4 - dir) % 4] at truth
// corner k.
//
// Pixel convention: pixel (i, j) is centred on the point (i, j) and covers
// i - 0.5 .. i + 0.5, the convention of the detector's contour points.
#include <cstdint>
#include <vector>
#include <opencv2/core.hpp>
#include "camera_param.h"
#include "rigid_pose.h"

// A marker as printed on paper.
struct PrintedMarker {
    enum Face {
        // The usual marker: a black square whose inner half (side / 2) holds
        // the pattern; the black border is a quarter of the side wide.
        PatternInBorder,
        // The image covers the whole square (for markers of other systems
        // that bring their own border).
        WholeSquare,
    };
    cv::Mat pattern;                  // 8-bit BGR (or grey), any size, nearest-cell lookup; empty = blank
    Face face = PatternInBorder;
    double widthMm = 80.0;            // side of the black square
    double marginFraction = 0.25;     // white paper beyond the square on each side, x widthMm
    double transform[3][4] = {};      // marker to camera, millimetres
};

struct RenderSettings {
    int width = 640;                  // frame size; normally the camera's xsize, ysize
    int height = 480;
    // Grey levels, 0..255, as the camera sees them. The detector's dark test
    // is a channel sum of at most 300, so ink must stay below 100 and paper
    // above it for a marker to be found.
    double inkLevel = 0.0;
    double paperLevel = 255.0;
    cv::Scalar background{150, 160, 170};
    int supersample = 4;              // samples per pixel along each axis (anti-aliasing)
    double blurSigmaPx = 0.0;         // Gaussian blur after drawing; 0 = none
    double noiseSigma = 0.0;          // Gaussian noise per channel, grey levels; 0 = none
    int clutterCount = 0;             // dark shapes that are not markers, kept off the markers
    uint32_t seed = 1;                // clutter and noise are repeatable for a seed
};

struct MarkerTruth {
    double corner[4][2];              // ideal (undistorted) pixels, order above
    double transform[3][4];           // marker to camera, millimetres (copy of the input)
    bool inFront;                     // every corner in front of the camera
};

// Draws background, clutter and the markers (in list order, later ones on
// top) into a new 8-bit BGR frame of settings.width x settings.height, seen
// through `camera` (its projection and distortion; its xsize and ysize are
// not consulted). One truth record per marker, in list order, when asked.
cv::Mat renderFrame(const CameraParam& camera, const std::vector<PrintedMarker>& markers,
                    const RenderSettings& settings, std::vector<MarkerTruth>* truth = nullptr);

// A rigid body as printed: markers fixed on one object. Each member's
// transform is marker to body frame; the body's own is body to camera.
struct PrintedBody {
    std::vector<PrintedMarker> members;
    double transform[3][4] = {};
};

// The members as the camera films them: each placed at body x member, those
// whose printed side faces away from the camera left out, the farthest first
// so that nearer ones are drawn over it. Members on one plane share the
// paper between them: each margin ends halfway to the neighbouring squares,
// however narrow the gap. Each placed marker's member index
// goes into `memberIndex` when asked. Append them to renderFrame's list.
std::vector<PrintedMarker> placeBody(const PrintedBody& body, std::vector<int>* memberIndex = nullptr);

// The printed pose of a body's two standard layouts, for tests and
// benchmarks: a cols x rows board of markers `widthMm` wide with `gapMm`
// of paper between squares, centred on the body origin (members row by row
// from the top-left, upright, facing +Z); and a cube of side `sideMm` with
// one marker on each face but the bottom (-Y): +Z, +X, -Z, -X, +Y, each upright
// with its top edge towards +Y (the top face's towards -Z).
std::vector<RigidPose> boardLayout(int cols, int rows, double widthMm, double gapMm);
std::vector<RigidPose> cubeLayout(double sideMm);

// Adds Gaussian noise of `sigma` grey levels to every channel, as a camera's
// sensor would, drawn from `rng`; renderFrame's own noise is this.
void addSensorNoise(cv::Mat& bgr, double sigma, cv::RNG& rng);

// The frame as the detector reads it: 4 bytes a pixel (BGRA), rows unpadded.
cv::Mat toDetectorFrame(const cv::Mat& bgr);

// A flat, printable image of the marker: the square `sidePx` wide with
// `marginPx` of white paper around it.
cv::Mat renderMarkerImage(const cv::Mat& pattern, int sidePx, int marginPx,
                          PrintedMarker::Face face = PrintedMarker::PatternInBorder);

// Marker-to-camera transform of a marker whose centre lies on the ray
// through the ideal pixel (imageX, imageY) at depth `distanceMm` (camera Z).
// With all angles 0 the marker faces the camera upright (pattern top up in
// the image). tiltXDeg turns it about its own X axis, tiltYDeg about its own
// Y axis, then rollDeg turns it in its own plane (counter-clockwise as seen
// by the camera).
void poseFromView(const CameraParam& camera, double distanceMm, double tiltXDeg, double tiltYDeg,
                  double rollDeg, double imageX, double imageY, double transform[3][4]);

// A printed chessboard of cols x rows inner corners: (cols + 1) x (rows + 1)
// squares of squareMm, the top-left one black, with at least one square's
// width of white paper all round. Place it by setting its transform.
PrintedMarker makeChessboard(int cols, int rows, double squareMm);
// The board's inner corners in its marker coordinates (millimetres, X right,
// Y up the printed board, Z = 0), row by row from the top-left: the order in
// which OpenCV's chessboard finder lists an upright board.
std::vector<cv::Point3d> chessboardCorners(int cols, int rows, double squareMm);
// Where a point of a marker's plane (X, Y, 0) is seen: the observed pixel,
// lens distortion included.
cv::Point2d observedPixelOf(const CameraParam& camera, const double transform[3][4], double X, double Y);

// A pinhole camera with its principal point and distortion centre in the
// middle of the image; distortionFactor in the file's unit (the radial
// coefficient per squared pixel times 1e8), scale 1.
CameraParam makeCameraParam(int width, int height, double focalPx, double distortionFactor);
// 640 x 480, focal length 700 px, slight barrel distortion (factor 5: a point
// at the image corner moves inwards by about 0.8 %).
CameraParam defaultCameraParam();

// A 16 x 16 BGR pattern of coloured blocks, repeatable for a seed, that no
// quarter turn maps onto itself.
cv::Mat makeRandomPattern(uint32_t seed);

// Rotation 0 of a pattern file as a 16 x 16 BGR image (row 0 at the top).
// 0, or -1 when the file cannot be read whole.
int readPatternImage(const char* path, cv::Mat& pattern);
// Writes a 16 x 16 BGR image as a pattern file: rotation 0 is the image
// itself and each further rotation is the previous one turned a quarter
// counter-clockwise (its right column becomes the top row), which is how the
// capture writer's corner order turns them.
// 0, or -1 when the image is not 16 x 16 BGR or the file cannot be created.
int writePatternImageFile(const char* path, const cv::Mat& pattern);
