// What the reported numbers mean, as the README states it: a marker
// rendered at a known pose through the whole evaluation, and each
// statement of "Coordinates and units" checked on its report.
#include <gtest/gtest.h>
#include "calibration.h"
#include "chessboard_views.h"
#include "detector_state.h"
#include "evaluate.h"
#include "pattern.h"
#include "temp_dir.h"

namespace {

struct Reported {
    ResultTable table;
    MarkerTruth truth;
    PrintedMarker printed;
};

// An 80 mm marker facing the camera at 500 mm, its centre seen at (480, 360),
// turned by `rollDeg` in its own plane (counter-clockwise as the camera sees it).
Reported reportOf(const CameraParam& camera, double rollDeg) {
    TempDir dir;
    resetDetector();
    setWorkingCameraParam(camera);
    writePatternImageFile(dir.file("p.patt").c_str(), makeRandomPattern(9));
    loadPatternFile(dir.file("p.patt").c_str());
    Reported r;
    r.printed.pattern = makeRandomPattern(9);
    poseFromView(camera, 500, 0, 0, rollDeg, 480, 360, r.printed.transform);
    // Paper at twice the threshold: the dark region's edge then lies on the
    // square's, so the corners carry no threshold bias.
    RenderSettings settings;
    settings.paperLevel = 200;
    std::vector<MarkerTruth> truth;
    const cv::Mat frame = toDetectorFrame(renderFrame(camera, {r.printed}, settings, &truth));
    r.truth = truth[0];
    evaluateMarkers(frame.data, Catalogue{{0, "M", "p.patt", 80.0, true}}, r.table);
    return r;
}

double dot2(double ax, double ay, double bx, double by) { return ax * bx + ay * by; }

} // namespace

TEST(CoordinatesAndUnits, TheReportOfAMarkerAtAKnownPose) {
    for (const double roll : {0.0, 90.0}) {
        SCOPED_TRACE(roll);
        const Reported r = reportOf(defaultCameraParam(), roll);
        ASSERT_EQ(r.table.size(), 1u);
        const MarkerResult& m = r.table[0];
        EXPECT_GT(m.cf, 0.9);
        // Camera frame, millimetres: X right, Y down, Z forward.
        EXPECT_NEAR(m.X, r.printed.transform[0][3], 2.0);
        EXPECT_NEAR(m.Y, r.printed.transform[1][3], 2.0);
        EXPECT_NEAR(m.Z, 500.0, 5.0);
        EXPECT_GT(m.X, 0);
        EXPECT_GT(m.Y, 0) << "below the image centre is +Y";
        // glmatrix: column-major marker-to-camera; its columns are the marker's
        // X, Y, Z axes in camera coordinates, then the translation.
        for (int c = 0; c < 3; ++c)
            for (int row = 0; row < 3; ++row)
                EXPECT_NEAR(m.glMatrix[4 * c + row], r.printed.transform[row][c], 0.03) << c << row;
        EXPECT_NEAR(m.glMatrix[10], -1.0, 0.01) << "the marker's Z points out of the paper, at the camera";
        EXPECT_DOUBLE_EQ(m.glMatrix[12], m.X);
        EXPECT_DOUBLE_EQ(m.glMatrix[14], m.Z);
        EXPECT_EQ(m.glMatrix[3] + m.glMatrix[7] + m.glMatrix[11], 0.0);
        EXPECT_EQ(m.glMatrix[15], 1.0);
        // Vertex 0 is the printed pattern's top-left corner, then top-right,
        // bottom-right, bottom-left: clockwise on the screen (y down).
        double shoelace = 0;
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(m.vertex[k][0], r.truth.corner[k][0], 1.0) << k;
            EXPECT_NEAR(m.vertex[k][1], r.truth.corner[k][1], 1.0) << k;
            const double* a = m.vertex[k];
            const double* b = m.vertex[(k + 1) % 4];
            shoelace += a[0] * b[1] - b[0] * a[1];
        }
        EXPECT_GT(shoelace, 0) << "clockwise as seen in the image";
        // dvec points from the centre to the pattern's top edge: up the image
        // when upright, left after a quarter turn counter-clockwise; the
        // image direction of the marker's +Y.
        const double up[2] = {roll == 0.0 ? 0.0 : -1.0, roll == 0.0 ? -1.0 : 0.0};
        EXPECT_GT(dot2(m.dx, m.dy, up[0], up[1]), 0.99);
        EXPECT_GT(dot2(m.dx, m.dy, m.glMatrix[4], m.glMatrix[5]), 0.99);
        // The centre is in the square; area counts the dark pixels of the
        // border region, less than the square it encloses.
        const double squarePx = std::fabs(shoelace) / 2;
        EXPECT_NEAR(m.px, (m.vertex[0][0] + m.vertex[2][0]) / 2, 3.0);
        EXPECT_GT(m.area, 0.7 * squarePx);
        EXPECT_LT(m.area, squarePx);
    }
}

// Vertices are ideal pixels: the lens distortion is taken out of them,
// while the centre is where the region is seen.
TEST(CoordinatesAndUnits, VerticesAreUndistortedPixels) {
    const CameraParam camera = calibrationTruth();
    const Reported r = reportOf(camera, 0);
    ASSERT_EQ(r.table.size(), 1u);
    const MarkerResult& m = r.table[0];
    const double w = 40;
    const double model[4][2] = {{-w, w}, {w, w}, {w, -w}, {-w, -w}};
    double meanToObserved = 0;
    for (int k = 0; k < 4; ++k) {
        const cv::Point2d observed = observedPixelOf(camera, r.printed.transform, model[k][0], model[k][1]);
        const double toIdeal = std::hypot(m.vertex[k][0] - r.truth.corner[k][0], m.vertex[k][1] - r.truth.corner[k][1]);
        meanToObserved += std::hypot(m.vertex[k][0] - observed.x, m.vertex[k][1] - observed.y) / 4;
        EXPECT_LT(toIdeal, 1.0) << k;
    }
    EXPECT_GT(meanToObserved, 3.0);
}
