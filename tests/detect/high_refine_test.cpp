#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <limits>
#include <opencv2/imgproc.hpp>
#include "high_scene.h"
#include "pattern.h"
#include "pose.h"
#include "refine.h"
#include "temp_dir.h"

namespace {

double cornerRms(const MarkerInfo& marker, const MarkerTruth& truth) { return std::sqrt(cornerSquaredError(marker, truth) / 4); }

double largestShift(const MarkerInfo& a, const MarkerInfo& b) {
    double largest = 0.0;
    for (int k = 0; k < 4; ++k)
        largest = std::max(largest, std::hypot(a.vertex[k][0] - b.vertex[k][0], a.vertex[k][1] - b.vertex[k][1]));
    return largest;
}

// How far a refined side moved: its line's distance from the ends of the
// side it started from.
double largestLineMove(const MarkerInfo& from, const MarkerInfo& to) {
    double largest = 0.0;
    for (int k = 0; k < 4; ++k)
        for (const double* v : {from.vertex[k], from.vertex[(k + 1) % 4]})
            largest = std::max(largest, std::fabs(to.line[k][0] * v[0] + to.line[k][1] * v[1] + to.line[k][2]));
    return largest;
}

bool allFinite(const MarkerInfo& m) {
    for (int k = 0; k < 4; ++k)
        for (double v : {m.vertex[k][0], m.vertex[k][1], m.line[k][0], m.line[k][1], m.line[k][2]})
            if (!std::isfinite(v)) return false;
    return true;
}

class RefineTest : public ::testing::Test {
protected:
    void SetUp() override { install(defaultCameraParam()); }

    void install(const CameraParam& c) {
        camera = c;
        installCamera(camera);
        writePatternImageFile(dir.file("p.patt").c_str(), pattern);
        ASSERT_EQ(loadPatternFile(dir.file("p.patt").c_str()), 0);
    }

    // The one identified marker of the frame, detected with the refinement
    // off and then on; false when either detection does not find it.
    bool detectBoth(const cv::Mat& bgr, MarkerInfo& plain, MarkerInfo& refined) {
        detectorState().options.cornerRefine = false;
        const std::vector<MarkerInfo> off = detect(bgr);
        detectorState().options.cornerRefine = true;
        const std::vector<MarkerInfo> on = detect(bgr);
        detectorState().options.cornerRefine = false;
        if (off.size() != 1 || on.size() != 1 || off[0].id != 0 || on[0].id != 0) return false;
        plain = off[0];
        refined = on[0];
        return true;
    }

    CameraParam camera;
    TempDir dir;
    const cv::Mat pattern = makeRandomPattern(17);
};

TEST_F(RefineTest, BlurredNoisyMarkersGetTheirCornersWithinATenthOfAPixel) {
    struct Case {
        double sidePx, tiltDeg, blurPx, maxRmsPx;
    };
    // Without blur the edge is as wide as a pixel and the interpolated
    // profile's crossing follows the pixel grid by about a tenth of a pixel.
    const Case cases[] = {{60, 0, 0.6, 0.1},  {60, 45, 0.6, 0.1},  {100, 30, 1.2, 0.1}, {140, 50, 0.6, 0.1},
                          {200, 20, 1.2, 0.1}, {240, 50, 1.2, 0.1}, {80, 10, 0.0, 0.15},
                          // Small and blurred: the window reaches neither plateau.
                          {32, 15, 1.2, 0.1}, {40, 30, 1.5, 0.1},
                          // Steep: acute corners lie far inside the contour's.
                          {150, 68, 1.2, 0.1}, {250, 70, 0.6, 0.1}};
    for (const double distortion : {5.0, 40.0}) {
        install(makeCameraParam(640, 480, 700.0, distortion));
        for (const Case& c : cases) {
            const PrintedMarker printed =
                markerAt(pattern, camera, 80, 700.0 * 80 / c.sidePx, c.tiltDeg, -c.tiltDeg / 3, 33, 350, 210);
            RenderSettings settings;
            settings.blurSigmaPx = c.blurPx;
            settings.noiseSigma = 2.0;
            std::vector<MarkerTruth> truth;
            const cv::Mat bgr = renderFrame(camera, {printed}, settings, &truth);
            MarkerInfo plain, refined;
            ASSERT_TRUE(detectBoth(bgr, plain, refined)) << c.sidePx << " px, tilt " << c.tiltDeg;
            const std::string what = std::to_string(c.sidePx) + " px, tilt " + std::to_string(c.tiltDeg) + ", blur " +
                                     std::to_string(c.blurPx) + ", f " + std::to_string(distortion);
            EXPECT_LT(cornerRms(refined, truth[0]), c.maxRmsPx) << what;
            EXPECT_GT(cornerRms(plain, truth[0]), 0.3) << what; // the contour's bias, which refining removes
            EXPECT_LE(largestLineMove(plain, refined), kRefineMaxShiftPx) << what;
            // Each refined vertex is still the crossing of its two lines.
            for (int k = 0; k < 4; ++k)
                for (const double* line : {refined.line[(k + 3) % 4], refined.line[k]})
                    EXPECT_NEAR(line[0] * refined.vertex[k][0] + line[1] * refined.vertex[k][1] + line[2], 0.0, 1e-9);
        }
    }
}

// Something dark touching one side, and a light object covering part of
// another: the profiles there see no clean edge or an edge elsewhere, and
// the side is fitted to the rest.
TEST_F(RefineTest, ShapesTouchingOrCoveringASideDoNotPullItsLine) {
    const PrintedMarker printed = markerAt(pattern, camera, 80, 700.0 * 80 / 150, 15, 10, 5, 320, 240);
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    settings.noiseSigma = 2.0;
    std::vector<MarkerTruth> truth;
    const cv::Mat clean = renderFrame(camera, {printed}, settings, &truth);
    const double* c = truth[0].corner[0]; // top-left; the side to corner 1 runs along the top
    const double* d = truth[0].corner[1];
    const cv::Point2d top((c[0] * 2 + d[0]) / 3, (c[1] * 2 + d[1]) / 3);
    const double* e = truth[0].corner[2];
    const cv::Point2d right((d[0] + e[0]) / 2, (d[1] + e[1]) / 2);

    cv::Mat touched = clean.clone();
    cv::circle(touched, top + cv::Point2d(0, -4), 5, cv::Scalar(20, 20, 20), cv::FILLED, cv::LINE_AA);
    cv::Mat covered = clean.clone();
    cv::rectangle(covered, cv::Rect(cv::Point(static_cast<int>(right.x) - 3, static_cast<int>(right.y) - 15), cv::Size(12, 30)),
                  cv::Scalar(250, 250, 250), cv::FILLED);
    for (const cv::Mat* bgr : {&touched, &covered}) {
        MarkerInfo plain, refined;
        ASSERT_TRUE(detectBoth(*bgr, plain, refined));
        EXPECT_LT(cornerRms(refined, truth[0]), 0.15) << (bgr == &touched ? "touched" : "covered");
        EXPECT_GT(cornerRms(plain, truth[0]), 0.5);
        EXPECT_LE(largestLineMove(plain, refined), kRefineMaxShiftPx);
    }
}

// The lines handed in lie `inset` pixels inside the true square: a side that
// moves up to kRefineMaxShiftPx is taken even where its corner moves
// farther (sqrt(2) x inset on an upright square, more at the acute corners
// of a steep view); one that would move farther keeps the line handed in.
TEST_F(RefineTest, ASideThatWouldMoveMoreThanTwoPixelsKeepsItsContourLine) {
    const PrintedMarker printed = markerAt(pattern, camera, 80, 700.0 * 80 / 120, 0, 0, 0, 320, 240);
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    std::vector<MarkerTruth> truth;
    const cv::Mat frame = toDetectorFrame(renderFrame(camera, {printed}, settings, &truth));
    for (const double inset : {1.5, 1.9, 2.3}) {
        MarkerTruth shrunk = truth[0];
        const double centre[2] = {(truth[0].corner[0][0] + truth[0].corner[2][0]) / 2,
                                  (truth[0].corner[0][1] + truth[0].corner[2][1]) / 2};
        for (auto& corner : shrunk.corner)
            for (int a = 0; a < 2; ++a) corner[a] -= inset * (corner[a] > centre[a] ? 1 : -1);
        const MarkerInfo handed = markerFromTruth(shrunk);
        MarkerInfo marker = handed;
        const int sides = refineMarkerEdges(frame.data, frame.cols, frame.rows, camera.distortion, marker);
        if (inset <= kRefineMaxShiftPx) {
            EXPECT_EQ(sides, 4) << inset;
            EXPECT_GT(largestShift(marker, handed), kRefineMaxShiftPx) << inset;
            EXPECT_LT(cornerRms(marker, truth[0]), 0.1) << inset;
        } else {
            EXPECT_EQ(sides, 0) << inset;
            EXPECT_EQ(largestShift(marker, handed), 0.0) << inset;
        }
    }
}

TEST_F(RefineTest, DegenerateProfilesKeepTheVerticesAndNeverGiveNaN) {
    const PrintedMarker printed = markerAt(pattern, camera, 80, 700.0 * 80 / 120, 20, 0, 10, 320, 240);
    std::vector<MarkerTruth> truth;
    renderFrame(camera, {printed}, RenderSettings(), &truth);
    const MarkerInfo handed = markerFromTruth(truth[0]);
    cv::Mat noise(480, 640, CV_8UC3);
    cv::randu(noise, 0, 256);
    const cv::Mat frames[] = {cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)), // flat
                              cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(255)), // saturated
                              cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0)), noise};
    for (const cv::Mat& bgr : frames) {
        const cv::Mat frame = toDetectorFrame(bgr);
        MarkerInfo marker = handed;
        refineMarkerEdges(frame.data, frame.cols, frame.rows, camera.distortion, marker);
        EXPECT_TRUE(allFinite(marker));
        EXPECT_LE(largestLineMove(handed, marker), kRefineMaxShiftPx);
        if (&bgr != &frames[3]) {
            EXPECT_EQ(largestShift(marker, handed), 0.0);
        }
    }
}

// What a caller of the public entry may hand in: squares off the frame,
// non-finite or huge numbers, corners that are not the crossings of the
// lines. Each returns (no endless loop), leaves nothing non-finite, and
// where it refines nothing leaves the marker as it was.
TEST_F(RefineTest, BadSquaresHandedInAreRefusedOrLeftFinite) {
    const PrintedMarker printed = markerAt(pattern, camera, 80, 700.0 * 80 / 120, 20, 0, 10, 320, 240);
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    std::vector<MarkerTruth> truth;
    const cv::Mat frame = toDetectorFrame(renderFrame(camera, {printed}, settings, &truth));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const auto shifted = [](double by) {
        return [by](MarkerInfo& m) {
            for (auto& v : m.vertex) v[0] += by, v[1] += by;
            for (auto& l : m.line) l[2] -= (l[0] + l[1]) * by;
        };
    };
    struct Case {
        const char* what;
        std::function<void(MarkerInfo&)> spoil;
        bool refused; // nothing refined, marker unchanged
    };
    const Case cases[] = {
        {"over the frame's corner", shifted(-300.0), true},
        {"wholly outside", shifted(-2000.0), true},
        {"all corners in one point",
         [](MarkerInfo& m) {
             for (int k = 0; k < 4; ++k) m.vertex[k][0] = m.vertex[k][1] = 100, m.line[k][0] = 1, m.line[k][1] = 0, m.line[k][2] = -100;
         },
         true},
        {"NaN corner", [nan](MarkerInfo& m) { m.vertex[2][0] = nan; }, true},
        {"infinite corner", [inf](MarkerInfo& m) { m.vertex[1][1] = -inf; }, true},
        {"huge corner", [](MarkerInfo& m) { m.vertex[3][0] = 1e300; }, true},
        {"NaN line", [nan](MarkerInfo& m) { m.line[0][2] = nan; }, true},
        {"line normal not unit", [](MarkerInfo& m) { m.line[1][0] *= 3; }, true},
        {"corners off the lines' crossings", [](MarkerInfo& m) { m.vertex[0][0] += 5, m.vertex[2][1] -= 4; }, false},
        {"lines off the corners", [](MarkerInfo& m) { m.line[3][2] += 6; }, false},
    };
    for (const Case& c : cases) {
        MarkerInfo marker = markerFromTruth(truth[0]);
        c.spoil(marker);
        const MarkerInfo before = marker;
        const int sides = refineMarkerEdges(frame.data, frame.cols, frame.rows, camera.distortion, marker);
        if (c.refused) {
            EXPECT_EQ(sides, 0) << c.what;
            EXPECT_EQ(std::memcmp(&marker, &before, sizeof marker), 0) << c.what;
        } else {
            EXPECT_TRUE(allFinite(marker)) << c.what;
            // Each side either kept the line handed in or lies near its two corners.
            for (int k = 0; k < 4; ++k) {
                if (std::memcmp(marker.line[k], before.line[k], sizeof before.line[k]) == 0) continue;
                for (const double* v : {before.vertex[k], before.vertex[(k + 1) % 4]})
                    EXPECT_LE(std::fabs(marker.line[k][0] * v[0] + marker.line[k][1] * v[1] + marker.line[k][2]),
                              kRefineMaxShiftPx) << c.what << ", side " << k;
            }
        }
    }
}

TEST_F(RefineTest, RefinedCornersGiveThePoseWithinATenthOfAPercent) {
    install(makeCameraParam(640, 480, 700.0, 40.0));
    const PrintedMarker printed = markerAt(pattern, camera, 80, 700.0 * 80 / 110, 35, -20, 60, 250, 300);
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    settings.noiseSigma = 2.0;
    const cv::Mat bgr = renderFrame(camera, {printed}, settings);
    MarkerInfo plain, refined;
    ASSERT_TRUE(detectBoth(bgr, plain, refined));
    const double centre[2] = {0.0, 0.0};
    double transform[3][4];
    detectorState().options.cornerRefine = true;
    EXPECT_GE(estimateMarkerPose(refined, centre, 80, transform), 0.0);
    detectorState().options.cornerRefine = false;
    EXPECT_LT(translationError(transform, printed.transform), 0.001 * printed.transform[2][3]);
    EXPECT_LT(rotationAngleDeg(transform, printed.transform), 0.15);
}

} // namespace
