#include <gtest/gtest.h>
#include "high_scene.h"
#include "pattern.h"
#include "pose.h"
#include "temp_dir.h"

namespace {

const double kCentre[2] = {0.0, 0.0};

MarkerTruth truthOf(const CameraParam& camera, const PrintedMarker& marker) {
    RenderSettings settings;
    settings.width = 64; // only the truth is wanted
    settings.height = 48;
    std::vector<MarkerTruth> truth;
    renderFrame(camera, {marker}, settings, &truth);
    return truth[0];
}

class PoseTest : public ::testing::Test {
protected:
    void SetUp() override { installCamera(camera); }
    CameraParam camera = defaultCameraParam();
};

TEST_F(PoseTest, RenderedMarkersGiveTheirPoseWithinOnePercentAndOneDegree) {
    const cv::Mat pattern = makeRandomPattern(61);
    RenderSettings settings;
    settings.paperLevel = 120.0; // threshold near the ink: see the squares tests
    for (const double distortion : {0.0, 5.0}) {
        camera = makeCameraParam(640, 480, 700.0, distortion);
        installCamera(camera);
        TempDir dir;
        writePatternImageFile(dir.file("p.patt").c_str(), pattern);
        ASSERT_EQ(loadPatternFile(dir.file("p.patt").c_str()), 0);
        for (int tilt = 0; tilt <= 50; tilt += 10) {
            for (int roll = 0; roll < 360; roll += 53) {
                // About 200 px wide: smaller squares leave the tilt poorly
                // determined by four corners, whatever the solver.
                const PrintedMarker printed = markerAt(pattern, camera, 80, 280, tilt, -tilt / 2.0, roll, 330, 250);
                const std::vector<MarkerInfo> found = detect(renderFrame(camera, {printed}, settings));
                ASSERT_EQ(found.size(), 1u);
                ASSERT_EQ(found[0].id, 0);
                double transform[3][4];
                EXPECT_GE(estimateMarkerPose(found[0], kCentre, 80, transform), 0.0);
                EXPECT_LT(translationError(transform, printed.transform), 0.01 * printed.transform[2][3])
                    << "tilt " << tilt << " roll " << roll << " distortion " << distortion;
                EXPECT_LT(rotationAngleDeg(transform, printed.transform), 1.0)
                    << "tilt " << tilt << " roll " << roll << " distortion " << distortion;
            }
        }
    }
}

TEST_F(PoseTest, ExactCornersGiveTheExactPoseAlsoSquarelyFacingTheCamera) {
    for (const double tilt : {0.0, 0.5, 30.0}) {
        for (int roll = 0; roll < 360; roll += 45) {
            const PrintedMarker printed = markerAt(cv::Mat(), camera, 80, 700, tilt, 0, roll, 300, 260);
            const MarkerInfo marker = markerFromTruth(truthOf(camera, printed));
            double transform[3][4];
            const double error = estimateMarkerPose(marker, kCentre, 80, transform);
            EXPECT_GE(error, 0.0) << "tilt " << tilt << " roll " << roll;
            // Within the angle search's resolution: ten passes from a 10 degree
            // step leave about a tenth of a degree.
            EXPECT_LT(error, 0.01);
            EXPECT_LT(translationError(transform, printed.transform), 0.5);
            EXPECT_LT(rotationAngleDeg(transform, printed.transform), 0.1) << "tilt " << tilt << " roll " << roll;
        }
    }
}

// A calibrated lens with strong barrel distortion: f = 40 at 640 x 480 moves
// an image corner inwards by about 4 %, and the scale differs from 1.
CameraParam stronglyDistortedCamera() {
    CameraParam camera = makeCameraParam(640, 480, 700.0, 40.0);
    camera.distortion[0] = 331.0; // off the principal point, as calibrations find it
    camera.distortion[1] = 236.0;
    camera.distortion[3] = 0.995;
    return camera;
}

TEST_F(PoseTest, ExactCornersUnderStrongDistortionGiveThePoseAsWellAsWithoutIt) {
    struct View {
        double distanceMm, tiltX, tiltY, roll, x, y;
    };
    // Near the middle and out towards the corners, where the lens bends most.
    const View views[] = {{400, 0, 0, 10, 320, 240},  {500, 40, -10, 80, 120, 90},  {450, -30, 30, 200, 530, 400},
                          {600, 50, 0, 300, 560, 80}, {350, 20, 45, 135, 90, 390},  {700, -45, -20, 20, 600, 240},
                          {300, 10, -35, 250, 200, 300}, {800, 0, 55, 170, 440, 60}};
    for (const View& v : views) {
        double errors[2][2]; // [distorted][translation %, rotation deg]
        for (int distorted = 0; distorted < 2; ++distorted) {
            camera = distorted ? stronglyDistortedCamera() : makeCameraParam(640, 480, 700.0, 0.0);
            installCamera(camera);
            const PrintedMarker printed = markerAt(cv::Mat(), camera, 80, v.distanceMm, v.tiltX, v.tiltY, v.roll, v.x, v.y);
            double transform[3][4];
            ASSERT_GE(estimateMarkerPose(markerFromTruth(truthOf(camera, printed)), kCentre, 80, transform), 0.0);
            errors[distorted][0] = 100.0 * translationError(transform, printed.transform) / printed.transform[2][3];
            errors[distorted][1] = rotationAngleDeg(transform, printed.transform);
        }
        const std::string where = "view at (" + std::to_string(v.x) + ", " + std::to_string(v.y) + ")";
        EXPECT_LT(errors[1][0], 0.2) << where;
        EXPECT_LT(errors[1][1], 0.2) << where;
        EXPECT_LT(errors[1][0], errors[0][0] + 0.05) << where;
        EXPECT_LT(errors[1][1], errors[0][1] + 0.05) << where;
    }
}

TEST_F(PoseTest, DirTurnsTheCornerCorrespondence) {
    const PrintedMarker printed = markerAt(cv::Mat(), camera, 80, 600, 20, 10, 30, 320, 240);
    const MarkerInfo upright = markerFromTruth(truthOf(camera, printed));
    // The same square seen with its corners numbered one further round: with
    // dir 1, model corner 0 pairs with vertex 3 and corner 1 with vertex 0.
    MarkerInfo turned = upright;
    turned.dir = 1;
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 2; ++c) turned.vertex[(k + 3) % 4][c] = upright.vertex[k][c];
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 3; ++c) turned.line[(k + 3) % 4][c] = upright.line[k][c];
    double a[3][4], b[3][4];
    estimateMarkerPose(upright, kCentre, 80, a);
    estimateMarkerPose(turned, kCentre, 80, b);
    EXPECT_LT(translationError(a, b), 1e-6);
    EXPECT_LT(rotationAngleDeg(a, b), 1e-4);
    EXPECT_LT(rotationAngleDeg(a, printed.transform), 0.1);
}

TEST_F(PoseTest, CentreShiftsTheTranslationAlongTheMarkerAxes) {
    const PrintedMarker printed = markerAt(cv::Mat(), camera, 80, 600, 25, -10, 70, 320, 240);
    const MarkerInfo marker = markerFromTruth(truthOf(camera, printed));
    const double shifted[2] = {10.0, -5.0};
    double transform[3][4];
    estimateMarkerPose(marker, shifted, 80, transform);
    // The square's middle is the model point (10, -5): the origin lies off it.
    for (int r = 0; r < 3; ++r) {
        const double origin = printed.transform[r][3] - printed.transform[r][0] * 10.0 + printed.transform[r][1] * 5.0;
        EXPECT_NEAR(transform[r][3], origin, 0.5);
    }
}

TEST_F(PoseTest, NoInitialRotationGivesMinusOneAndAnAllZeroTransform) {
    MarkerInfo marker{};
    marker.dir = 0;
    for (int k = 0; k < 4; ++k) {
        marker.line[k][0] = 1.0; // four coinciding lines: no vanishing point
        marker.vertex[k][0] = 100.0 + k;
        marker.vertex[k][1] = 100.0;
    }
    double transform[3][4];
    for (auto& row : transform)
        for (double& v : row) v = 7.0;
    EXPECT_EQ(estimateMarkerPose(marker, kCentre, 80, transform), -1.0);
    for (auto& row : transform)
        for (double v : row) EXPECT_EQ(v, 0.0);
}

TEST_F(PoseTest, AnglesRoundTripThroughTheRotationIncludingBothPoles) {
    for (const double b : {0.0, 0.3, 1.2, 2.5, 3.14159265358979323846}) {
        for (const double a : {-2.0, 0.0, 1.0}) {
            for (const double c : {-1.5, 0.0, 2.8}) {
                double R[3][3];
                anglesToRotation(a, b, c, R);
                double a2, b2, c2;
                rotationToAngles(R, &a2, &b2, &c2);
                double again[3][3];
                anglesToRotation(a2, b2, c2, again);
                // acos near 1 keeps only half the digits.
                for (int r = 0; r < 3; ++r)
                    for (int k = 0; k < 3; ++k) EXPECT_NEAR(again[r][k], R[r][k], 1e-6) << a << " " << b << " " << c;
            }
        }
    }
    // Facing away along the axis: all of the turn goes into c.
    double R[3][3] = {{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}};
    double a, b, c;
    rotationToAngles(R, &a, &b, &c);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    EXPECT_NEAR(c, 3.14159265358979323846 / 2, 1e-12);
}

TEST_F(PoseTest, OrthogonalisingTurnsBothDirectionsEquallyWithinTheirPlane) {
    const double tries[][2][3] = {{{1, 0, 0}, {0.2, 1, 0}}, {{0.6, 0.8, 0}, {0, 0.6, 0.8}}, {{1, 0, 0}, {0, 1, 0}}};
    for (const auto& t : tries) {
        double a[3], b[3], m[3] = {t[0][1] * t[1][2] - t[0][2] * t[1][1], t[0][2] * t[1][0] - t[0][0] * t[1][2],
                                   t[0][0] * t[1][1] - t[0][1] * t[1][0]};
        double norms[2] = {0, 0};
        for (int k = 0; k < 3; ++k) norms[0] += t[0][k] * t[0][k], norms[1] += t[1][k] * t[1][k];
        for (int k = 0; k < 3; ++k) a[k] = t[0][k] / std::sqrt(norms[0]), b[k] = t[1][k] / std::sqrt(norms[1]);
        double a0[3], b0[3];
        std::copy(a, a + 3, a0);
        std::copy(b, b + 3, b0);
        ASSERT_EQ(orthogonaliseDirections(a, b), 0);
        double ab = 0, aa = 0, bb = 0, am = 0, bm = 0, turnA = 0, turnB = 0;
        for (int k = 0; k < 3; ++k) {
            ab += a[k] * b[k], aa += a[k] * a[k], bb += b[k] * b[k];
            am += a[k] * m[k], bm += b[k] * m[k];
            turnA += a[k] * a0[k], turnB += b[k] * b0[k];
        }
        EXPECT_NEAR(ab, 0.0, 1e-9);
        EXPECT_NEAR(aa, 1.0, 1e-9);
        EXPECT_NEAR(bb, 1.0, 1e-9);
        EXPECT_NEAR(am, 0.0, 1e-9);
        EXPECT_NEAR(bm, 0.0, 1e-9);
        EXPECT_NEAR(turnA, turnB, 1e-9);
    }
    double a[3] = {1, 0, 0}, b[3] = {-1, 0, 0};
    EXPECT_EQ(orthogonaliseDirections(a, b), -1);
}

} // namespace
