// The pattern file and thumbnail of a detected square: file shape, the
// rotation order a reload matches, the straightened thumbnail, and
// registering the largest square of an image.
#include <gtest/gtest.h>
#include <filesystem>
#include <sstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "detect_markers.h"
#include "detector_state.h"
#include "pattern.h"
#include "pattern_writer.h"
#include "render.h"
#include "temp_dir.h"

namespace {

class PatternWriter : public testing::Test {
protected:
    void SetUp() override {
        resetDetector();
        camera = defaultCameraParam();
        ASSERT_EQ(setWorkingCameraParam(camera), 0);
        PrintedMarker m;
        m.pattern = makeRandomPattern(11);
        poseFromView(camera, 500.0, 20.0, -15.0, 30.0, 330, 230, m.transform);
        frame = toDetectorFrame(renderFrame(camera, {m}, RenderSettings{}));
        MarkerInfo* markers = nullptr;
        int count = 0;
        ASSERT_EQ(detectMarkers(frame.data, 100, &markers, &count), 0);
        ASSERT_EQ(count, 1);
        marker = markers[0];
    }
    void TearDown() override { resetDetector(); }

    TempDir dir;
    CameraParam camera;
    cv::Mat frame;
    MarkerInfo marker;
};

// Normalised correlation of two images of the same size and type.
double similarity(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat fa, fb;
    a.convertTo(fa, CV_64F);
    b.convertTo(fb, CV_64F);
    fa -= cv::mean(fa);
    fb -= cv::mean(fb);
    return fa.dot(fb) / std::sqrt(fa.dot(fa) * fb.dot(fb));
}

} // namespace

TEST_F(PatternWriter, FileHasFourBlocksOfFortyEightLinesAndAnEmptyLine) {
    const std::string path = dir.file("x.patt");
    ASSERT_EQ(writePatternFile(frame.data, marker, path.c_str()), 0);
    std::istringstream text(readFile(path));
    std::string line;
    int lines = 0;
    while (std::getline(text, line)) {
        const bool blockEnd = lines % 49 == 48;
        if (blockEnd) {
            EXPECT_EQ(line, "") << "line " << lines;
        } else {
            ASSERT_EQ(line.size(), 64u) << "line " << lines;
            for (int v = 0; v < 16; ++v) {
                const std::string cell = line.substr(v * 4, 4);
                const int value = std::stoi(cell);
                EXPECT_TRUE(value >= 0 && value <= 255) << cell;
                EXPECT_EQ(cell, std::string(4 - std::to_string(value).size(), ' ') + std::to_string(value));
            }
        }
        ++lines;
    }
    EXPECT_EQ(lines, 196);
}

TEST_F(PatternWriter, ReloadedFileMatchesItsCandidateInRotationTwo) {
    const std::string path = dir.file("x.patt");
    ASSERT_EQ(writePatternFile(frame.data, marker, path.c_str()), 0);
    ASSERT_EQ(loadPatternFile(path.c_str()), 0);
    const SquareCandidate& candidate = detectorState().candidates[0];
    int id = -1, dir = -1;
    double cf = 0;
    identifyPattern(frame.data, candidate.xCoord, candidate.yCoord, candidate.cornerIndex, &id, &dir, &cf);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(dir, 2);
    EXPECT_GT(cf, 0.99);
}

TEST_F(PatternWriter, MarkerWithoutACandidateWritesNothing) {
    MarkerInfo remembered = marker;
    remembered.pos[0] += 0.5;
    const std::string path = dir.file("x.patt");
    EXPECT_EQ(writePatternFile(frame.data, remembered, path.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(PatternWriter, UnwritablePathFails) {
    EXPECT_EQ(writePatternFile(frame.data, marker, dir.file("no/such/dir.patt").c_str()), -1);
}

TEST_F(PatternWriter, ThumbnailShowsThePatternUprightAsRotationZero) {
    cv::Mat thumbnail(kThumbnailSide, kThumbnailSide, CV_8UC4, cv::Scalar::all(77));
    warpThumbnail(marker, thumbnail, frame);
    ASSERT_EQ(thumbnail.size(), cv::Size(80, 80));
    ASSERT_EQ(thumbnail.type(), CV_8UC4);
    // The black border fills the outer quarter, the pattern the inner half.
    const cv::Mat border = thumbnail(cv::Rect(4, 4, 72, 12));
    EXPECT_LT(cv::mean(border)[0], 60.0);

    const std::string path = dir.file("x.patt");
    ASSERT_EQ(writePatternFile(frame.data, marker, path.c_str()), 0);
    cv::Mat rotationZero, inner, innerBgr;
    ASSERT_EQ(readPatternImage(path.c_str(), rotationZero), 0);
    cv::resize(thumbnail(cv::Rect(20, 20, 40, 40)), inner, cv::Size(16, 16), 0, 0, cv::INTER_AREA);
    cv::cvtColor(inner, innerBgr, cv::COLOR_BGRA2BGR);
    EXPECT_GT(similarity(innerBgr, rotationZero), 0.9);
    cv::Mat turned;
    cv::rotate(rotationZero, turned, cv::ROTATE_90_CLOCKWISE);
    EXPECT_LT(similarity(innerBgr, turned), 0.5);
}

TEST_F(PatternWriter, RegistersTheLargestSquareOfAFlatImage) {
    const cv::Mat pattern = makeRandomPattern(5);
    cv::Mat image = renderMarkerImage(pattern, 240, 60);
    // A smaller dark square beside it must not be taken.
    cv::Mat wide(image.rows, image.cols + 160, image.type(), cv::Scalar::all(255));
    image.copyTo(wide(cv::Rect(0, 0, image.cols, image.rows)));
    cv::rectangle(wide, cv::Rect(image.cols + 40, 60, 60, 60), cv::Scalar::all(0), cv::FILLED);
    cv::Mat grey;
    cv::cvtColor(wide, grey, cv::COLOR_BGR2GRAY);

    std::string error;
    const std::string patt = dir.file("n.patt"), jpg = dir.file("n.jpg");
    ASSERT_EQ(registerLargestSquare(grey, patt, jpg, error), 0) << error;
    ASSERT_EQ(loadPatternFile(patt.c_str()), 0);
    cv::Mat colourOfGrey;
    cv::cvtColor(pattern, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, colourOfGrey, cv::COLOR_GRAY2BGR);
    PatternCode code;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            for (int p = 0; p < 3; ++p) code.value[(y * 16 + x) * 3 + p] = colourOfGrey.at<cv::Vec3b>(y, x)[p];
    int id = -1, dir = -1;
    double cf = 0;
    matchPatternCode(code, &id, &dir, &cf);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(dir, 0) << "a flat upright image registers upright";
    EXPECT_GT(cf, 0.9);
    const cv::Mat thumbnail = cv::imread(jpg, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(thumbnail.size(), cv::Size(80, 80));
}

TEST_F(PatternWriter, ImageWithoutASquareIsRefusedWithAReason) {
    const cv::Mat blank(200, 200, CV_8UC3, cv::Scalar::all(255));
    std::string error;
    EXPECT_EQ(registerLargestSquare(blank, dir.file("n.patt"), dir.file("n.jpg"), error), -1);
    EXPECT_NE(error.find("no square marker"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.file("n.patt")));
}
