#include <gtest/gtest.h>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include "high_scene.h"
#include "pattern.h"
#include "temp_dir.h"
#include "builders.h"

namespace {

std::string patternFile(const TempDir& dir, const std::string& name, const cv::Mat& pattern) {
    const std::string path = dir.file(name);
    EXPECT_EQ(writePatternImageFile(path.c_str(), pattern), 0);
    return path;
}

// A text pattern file whose every value is `value`.
std::string uniformFile(const TempDir& dir, const std::string& name, int value, int count = 3072) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(value) + ((i % 16 == 15) ? "\n" : " ");
    const std::string path = dir.file(name);
    writeFile(path, text);
    return path;
}

class PatternTest : public ::testing::Test {
protected:
    void SetUp() override { installCamera(defaultCameraParam()); }
    TempDir dir;
};

TEST_F(PatternTest, RenderedPatternIsIdentifiedInEveryRotationWithTheMatchingDir) {
    const CameraParam camera = defaultCameraParam();
    const cv::Mat pattern = makeRandomPattern(11);
    ASSERT_EQ(loadPatternFile(patternFile(dir, "a.patt", makeRandomPattern(5)).c_str()), 0);
    ASSERT_EQ(loadPatternFile(patternFile(dir, "b.patt", pattern).c_str()), 1);
    RenderSettings settings;
    for (int quarter = 0; quarter < 4; ++quarter) {
        std::vector<MarkerTruth> truth;
        const cv::Mat frame = renderFrame(
            camera, {markerAt(pattern, camera, 80, 600, 10, -5, 90.0 * quarter + 7, 330, 230)}, settings, &truth);
        const std::vector<MarkerInfo> markers = detect(frame);
        ASSERT_EQ(markers.size(), 1u) << "quarter " << quarter;
        EXPECT_EQ(markers[0].id, 1);
        EXPECT_GT(markers[0].cf, 0.9);
        // Pattern-order vertex 0 must be the pattern's top-left corner.
        EXPECT_LT(std::sqrt(cornerSquaredError(markers[0], truth[0]) / 4), 1.0) << "quarter " << quarter;
    }
}

TEST_F(PatternTest, CodeMatchesItsOwnFileAtRotationZeroAndTurnedCodesAtTheirRotation) {
    const cv::Mat pattern = makeRandomPattern(3);
    ASSERT_EQ(loadPatternFile(patternFile(dir, "p.patt", pattern).c_str()), 0);
    cv::Mat turned = pattern.clone();
    for (int r = 0; r < 4; ++r) {
        int id, dir_;
        double cf;
        ASSERT_EQ(matchPatternCode(codeOf(turned), &id, &dir_, &cf), 0);
        EXPECT_EQ(id, 0);
        EXPECT_EQ(dir_, r);
        EXPECT_NEAR(cf, 1.0, 1e-9);
        cv::rotate(turned.clone(), turned, cv::ROTATE_90_COUNTERCLOCKWISE);
    }
}

TEST_F(PatternTest, TableHandsOutTheLowestFreeSlotAndRefusesTheFiftyFirstSilently) {
    const std::string path = patternFile(dir, "p.patt", makeRandomPattern(1));
    for (int i = 0; i < 50; ++i) ASSERT_EQ(loadPatternFile(path.c_str()), i);
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile(path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(detectorState().patterns.count, 50);

    EXPECT_EQ(freePattern(3), 1);
    EXPECT_EQ(freePattern(3), -1);
    EXPECT_EQ(activatePattern(3), -1);
    EXPECT_EQ(deactivatePattern(3), -1);
    EXPECT_EQ(detectorState().patterns.count, 49);
    EXPECT_EQ(loadPatternFile(path.c_str()), 3);
    EXPECT_EQ(detectorState().patterns.count, 50);
}

TEST_F(PatternTest, MissingAndShortFilesPrintTheirMessageAndLeaveTheTableAlone) {
    const std::string missing = dir.file("none.patt");
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile(missing.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\"" + missing + "\" not found!!\n");

    const std::string shortFile = uniformFile(dir, "short.patt", 9, 3000);
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile(shortFile.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Pattern Data read error!!\n");

    writeFile(dir.file("word.patt"), "1 2 three");
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile(dir.file("word.patt").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Pattern Data read error!!\n");

    EXPECT_EQ(detectorState().patterns.count, 0);
    EXPECT_EQ(detectorState().patterns.slot[0].state, Free);
}

TEST_F(PatternTest, UniformRotationLoadsWithTheStandInNormAndNeverScores) {
    ASSERT_EQ(loadPatternFile(uniformFile(dir, "flat.patt", 77).c_str()), 0);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(detectorState().patterns.slot[0].norm[r], 1e-7);
    int id, dir_;
    double cf;
    EXPECT_EQ(matchPatternCode(codeOf(makeRandomPattern(2)), &id, &dir_, &cf), 0);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(dir_, -1);
    EXPECT_EQ(cf, 0.0);
}

TEST_F(PatternTest, UniformCodeIsReportedAsSuchAndNoActivePatternLeavesCandidatesUnidentified) {
    int id, dir_;
    double cf;
    PatternCode flat;
    std::fill(flat.value, flat.value + kPatternValues, 200);
    EXPECT_EQ(matchPatternCode(flat, &id, &dir_, &cf), -1);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(dir_, 0);
    EXPECT_EQ(cf, -1.0);

    const cv::Mat pattern = makeRandomPattern(8);
    ASSERT_EQ(loadPatternFile(patternFile(dir, "p.patt", pattern).c_str()), 0);
    ASSERT_EQ(deactivatePattern(0), 1);
    EXPECT_EQ(matchPatternCode(codeOf(pattern), &id, &dir_, &cf), 0);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(dir_, -1);
    EXPECT_EQ(cf, 0.0);
    EXPECT_EQ(detectorState().patterns.slot[0].state, Inactive);
}

TEST_F(PatternTest, InactiveSlotsStillCountAsVisitedAndTiesGoToTheLowerSlot) {
    const cv::Mat pattern = makeRandomPattern(4);
    const std::string path = patternFile(dir, "p.patt", pattern);
    const std::string other = patternFile(dir, "q.patt", makeRandomPattern(6));
    ASSERT_EQ(loadPatternFile(other.c_str()), 0);
    ASSERT_EQ(loadPatternFile(path.c_str()), 1);
    ASSERT_EQ(loadPatternFile(path.c_str()), 2);
    ASSERT_EQ(loadPatternFile(path.c_str()), 3);
    ASSERT_EQ(freePattern(0), 1);
    ASSERT_EQ(deactivatePattern(1), 1);
    int id, dir_;
    double cf;
    matchPatternCode(codeOf(pattern), &id, &dir_, &cf);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(dir_, 0);
    ASSERT_EQ(activatePattern(1), 1);
    matchPatternCode(codeOf(pattern), &id, &dir_, &cf);
    EXPECT_EQ(id, 1);
}

// Frame whose byte 0 depends on x and byte 1 on y (squares, so that a cell's
// mean changes with the samples taken): the code tells which were taken.
cv::Mat coordinateFrame(int width, int height) {
    cv::Mat frame(height, width, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) frame.at<cv::Vec4b>(y, x) = cv::Vec4b((x * x) & 255, (y * y) & 255, 0, 0);
    return frame;
}

// The code an axis-aligned rectangle at (x0, y0) of lx x ly pixels gives with
// nx x ny samples, worked out independently of the sampler.
PatternCode expectedCode(int x0, int y0, int lx, int ly, int nx, int ny) {
    std::vector<unsigned> sum(768, 0);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const int x = static_cast<int>(x0 + lx * (0.25 + (i + 0.5) * 0.5 / nx));
            const int y = static_cast<int>(y0 + ly * (0.25 + (j + 0.5) * 0.5 / ny));
            const int cell = (j / (ny / 16)) * 16 + i / (nx / 16);
            sum[cell * 3] += (x * x) & 255;
            sum[cell * 3 + 1] += (y * y) & 255;
        }
    PatternCode code;
    for (int k = 0; k < 768; ++k) code.value[k] = static_cast<uint8_t>(sum[k] / ((nx / 16) * (ny / 16)));
    return code;
}

TEST_F(PatternTest, SampleDensityDoublesWithTheSquaredEdgeLength) {
    const cv::Mat frame = coordinateFrame(640, 480);
    struct Case {
        int lx, ly, nx, ny;
    };
    // 32 px edges (squared 1024) take 16 samples, 33 px (1089) 32, 64 px
    // (4096) 32, 65 px (4225) 64; a 100 x 40 rectangle 64 columns by 32 rows.
    const Case cases[] = {{32, 32, 16, 16}, {33, 33, 32, 32}, {64, 64, 32, 32},
                          {65, 65, 64, 64}, {100, 40, 64, 32}, {200, 200, 64, 64}};
    for (const Case& c : cases) {
        const int x0 = 50, y0 = 60;
        const int xs[4] = {x0, x0 + c.lx, x0 + c.lx, x0};
        const int ys[4] = {y0, y0, y0 + c.ly, y0 + c.ly};
        const int vertex[4] = {0, 1, 2, 3};
        PatternCode code;
        ASSERT_EQ(samplePatternCode(frame.data, xs, ys, vertex, &code), 0);
        const PatternCode expected = expectedCode(x0, y0, c.lx, c.ly, c.nx, c.ny);
        EXPECT_TRUE(std::equal(code.value, code.value + 768, expected.value)) << c.lx << " x " << c.ly;
        // The case only tells densities apart if half the density differs.
        if (c.nx > 16 && c.lx != 64) {
            const PatternCode half = expectedCode(x0, y0, c.lx, c.ly, c.nx / 2, c.ny);
            EXPECT_FALSE(std::equal(expected.value, expected.value + 768, half.value)) << c.lx;
        }
    }
}

TEST_F(PatternTest, SamplesOutsideTheFrameCountAsBlackCells) {
    cv::Mat frame(480, 640, CV_8UC4, cv::Scalar(200, 200, 200, 0));
    // Quadrilateral hanging over the left edge: its first columns fall outside.
    const int xs[4] = {-20, 20, 20, -20};
    const int ys[4] = {100, 100, 140, 140};
    const int vertex[4] = {0, 1, 2, 3};
    PatternCode code;
    ASSERT_EQ(samplePatternCode(frame.data, xs, ys, vertex, &code), 0);
    EXPECT_EQ(code.value[0], 0);                     // row 0, column 0: x = -10 .. -9
    EXPECT_EQ(code.value[(0 * 16 + 15) * 3], 200);   // row 0, column 15: inside
}

} // namespace
