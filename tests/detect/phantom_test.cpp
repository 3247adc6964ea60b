// Nothing is reported where no marker is: dark squares without a code
// (a stained one, a solid one, a chessboard's) beside real markers, with the
// defaults and with the verifying choices; registration refuses a pattern
// without contrast and names a near-equal one; a flat pattern file loads
// but never matches.
#include <gtest/gtest.h>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>
#include <opencv2/imgproc.hpp>
#include "detector_state.h"
#include "evaluate.h"
#include "identity_check.h"
#include "pattern.h"
#include "pattern_writer.h"
#include "render.h"
#include "temp_dir.h"

namespace {

// Black with one light 4 x 4 block: few light cells, like many tags' inner
// halves, so that noise on a plain dark square correlates with it best.
cv::Mat sparsePattern(int light) {
    cv::Mat p(16, 16, CV_8UC3, cv::Scalar::all(0));
    p(cv::Rect(2, 2, 4, 4)).setTo(cv::Scalar::all(light));
    return p;
}

class Phantoms : public testing::Test {
protected:
    void SetUp() override {
        resetDetector();
        camera = makeCameraParam(1280, 720, 1000.0, 0.0);
        ASSERT_EQ(setWorkingCameraParam(camera), 0);
        const cv::Mat patterns[] = {makeRandomPattern(1), makeRandomPattern(2), sparsePattern(255)};
        for (int i = 0; i < 3; ++i) {
            const std::string path = dir.file(std::to_string(i) + ".patt");
            ASSERT_EQ(writePatternImageFile(path.c_str(), patterns[i]), 0);
            ASSERT_EQ(loadPatternFile(path.c_str()), i);
            catalogue.push_back(PatternEntry{i, "P" + std::to_string(i), path, 80.0, true});
        }
    }
    void TearDown() override { resetDetector(); }

    PrintedMarker at(const cv::Mat& pattern, double x, double y, double sidePx, double turnDeg) const {
        PrintedMarker m;
        m.pattern = pattern;
        poseFromView(camera, 1000.0 * m.widthMm / sidePx, 15.0, -10.0, turnDeg, x, y, m.transform);
        return m;
    }

    TempDir dir;
    CameraParam camera;
    Catalogue catalogue;
};

TEST_F(Phantoms, DarkSquaresWithoutACodeAreNotReportedBesideRealMarkers) {
    std::vector<PrintedMarker> scene = {
        at(makeRandomPattern(1), 200, 180, 110, 10), at(makeRandomPattern(2), 640, 180, 90, 100),
        at(sparsePattern(255), 1080, 180, 100, 200),
        // A stain of 14 grey levels on black: the sparse pattern's shape, no contrast.
        at(sparsePattern(14), 200, 520, 120, 0), at(cv::Mat(), 640, 540, 100, 30), // solid: a dark window
    };
    PrintedMarker board = makeChessboard(5, 4, 25.0);
    poseFromView(camera, 900.0, 20.0, 10.0, 5.0, 1060, 520, board.transform);
    scene.push_back(board);
    RenderSettings settings;
    settings.width = 1280;
    settings.height = 720;
    settings.blurSigmaPx = 0.8;
    settings.noiseSigma = 2.0;
    const cv::Mat frame = toDetectorFrame(renderFrame(camera, scene, settings));

    DetectorOptions verifying;
    verifying.verifyMarkers = true;
    DetectorOptions realCamera;
    applyRealCamera(realCamera);
    for (const DetectorOptions& options : {DetectorOptions{}, verifying, realCamera}) {
        detectorState().options = options;
        ResultTable table;
        ASSERT_EQ(evaluateMarkers(frame.data, catalogue, table), 0);
        std::vector<int> ids;
        for (const MarkerResult& r : table) {
            ids.push_back(r.patternId);
            const int expected = r.px < 420 ? 0 : r.px < 860 ? 1 : 2;
            EXPECT_LT(r.py, 360) << "phantom P" << r.patternId << " at " << r.px << "," << r.py << " cf " << r.cf;
            EXPECT_EQ(r.patternId, expected);
        }
        EXPECT_EQ(ids.size(), 3u) << "verify " << options.verifyMarkers << " refine " << options.cornerRefine;
    }
}

TEST_F(Phantoms, RegistrationRefusesABlankSquareAndNamesANearEqualPattern) {
    dir.enterWithData();
    std::string error, note;
    EXPECT_EQ(registerLargestSquare(renderMarkerImage(cv::Mat(), 160, 40), "Data/000.patt", "Data/000.jpg", error,
                                    &note),
              -1);
    EXPECT_NE(error.find("no pattern inside its border"), std::string::npos) << error;
    EXPECT_FALSE(std::ifstream("Data/000.patt").good());

    const cv::Mat first = renderMarkerImage(makeRandomPattern(5), 160, 40);
    ASSERT_EQ(registerLargestSquare(first, "Data/000.patt", "Data/000.jpg", error, &note), 0) << error;
    EXPECT_EQ(note, "");
    // The same pattern printed again, and one unlike it.
    ASSERT_EQ(registerLargestSquare(first, "Data/001.patt", "Data/001.jpg", error, &note), 0) << error;
    EXPECT_NE(note.find("close to Data/000.patt"), std::string::npos) << note;
    note.clear();
    ASSERT_EQ(registerLargestSquare(renderMarkerImage(makeRandomPattern(6), 160, 40), "Data/002.patt",
                                    "Data/002.jpg", error, &note),
              0);
    EXPECT_EQ(note, "");
}

TEST_F(Phantoms, AFlatPatternFileLoadsWithAMessageAndNeverMatches) {
    std::string flat;
    for (int i = 0; i < 3072; ++i) flat += " 128" + std::string(i % 16 == 15 ? "\n" : "");
    const std::string path = dir.file("flat.patt");
    writeFile(path, flat);
    resetDetector();
    ASSERT_EQ(setWorkingCameraParam(camera), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile(path.c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("never matched"), std::string::npos);
    EXPECT_EQ(readFile(path), flat);

    // A grey square inside a black border is the closest thing to it.
    RenderSettings settings;
    settings.width = 1280;
    settings.height = 720;
    settings.noiseSigma = 2.0;
    const cv::Mat frame = toDetectorFrame(
        renderFrame(camera, {at(cv::Mat(16, 16, CV_8UC3, cv::Scalar::all(128)), 640, 360, 150, 0)}, settings));
    MarkerInfo* markers;
    int count = 0;
    ASSERT_EQ(detectMarkers(frame.data, 100, &markers, &count), 0);
    ASSERT_GE(count, 1);
    for (int i = 0; i < count; ++i) EXPECT_EQ(markers[i].id, -1);
}

} // namespace

namespace {

// Dark rows over light rows with one light block, like tag36h11 id 48's
// inner half: mostly row profiles, so a dark square that lightens towards
// one side (a shadow's ramp) correlates with it through the ramp alone.
cv::Mat profilePattern() {
    cv::Mat p(16, 16, CV_8UC3, cv::Scalar::all(0));
    p(cv::Rect(0, 10, 16, 6)).setTo(cv::Scalar::all(255));
    p(cv::Rect(12, 6, 4, 4)).setTo(cv::Scalar::all(255));
    return p;
}

cv::Mat rampPattern() {
    cv::Mat p(16, 16, CV_8UC3);
    for (int r = 0; r < 16; ++r) p.row(r).setTo(cv::Scalar::all(r < 6 ? 0 : (r - 5) * 22));
    return p;
}

TEST_F(Phantoms, AMatchRestingOnAPatternsProfilesAloneIsRefused) {
    const std::string path = dir.file("3.patt");
    ASSERT_EQ(writePatternImageFile(path.c_str(), profilePattern()), 0);
    ASSERT_EQ(loadPatternFile(path.c_str()), 3);
    catalogue.push_back(PatternEntry{3, "P3", path, 80.0, true});
    // Shadowed squares, turned and tilted, above; the printed pattern below.
    std::vector<PrintedMarker> scene;
    for (int i = 0; i < 4; ++i) scene.push_back(at(rampPattern(), 170 + 310 * i, 200, 110, 90 * i + 8));
    scene.push_back(at(profilePattern(), 300, 540, 100, 20));
    scene.push_back(at(profilePattern(), 900, 540, 60, 200));
    DetectorOptions realCamera;
    applyRealCamera(realCamera);
    RenderSettings settings;
    settings.width = 1280;
    settings.height = 720;
    settings.blurSigmaPx = 0.8;
    settings.noiseSigma = 2.0;
    for (const double ink : {0.0, 70.0}) { // full contrast, and 80 grey levels on dim paper
        settings.inkLevel = ink;
        settings.paperLevel = ink > 0.0 ? 150.0 : 255.0;
        const cv::Mat frame = toDetectorFrame(renderFrame(camera, scene, settings));
        for (const DetectorOptions& options : {DetectorOptions{}, realCamera})
            for (const bool checks : {false, true}) {
                detectorState().options = options;
                setShapeChecks(checks);
                ResultTable table;
                ASSERT_EQ(evaluateMarkers(frame.data, catalogue, table), 0);
                int ramps = 0, printed = 0;
                for (const MarkerResult& r : table) (r.py < 360 ? ramps : printed) += r.patternId == 3;
                const std::string what = "ink " + std::to_string(ink) + " real camera " +
                                         std::to_string(options.verifyMarkers) + " checks " + std::to_string(checks);
                if (checks) {
                    EXPECT_EQ(ramps, 0) << what;
                    EXPECT_EQ(printed, 2) << what;
                } else if (!options.verifyMarkers && ink == 0.0) {
                    EXPECT_GT(ramps, 0) << "without the check the ramps match: " << what;
                }
            }
    }
    setShapeChecks(true);
}

} // namespace
