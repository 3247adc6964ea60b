// The detector's opt-ins for real scenes, each on a rendered scene that the
// specified detector misses: uneven or dim light (automatic threshold),
// markers of 16 to 31 px (sub-pixel sampling of the code), crowded frames
// (the candidate limit) and close-ups (the area limit; the pattern command's
// reduced copy). Automatic thresholding of empty and hostile frames.
#include <gtest/gtest.h>
#include <cmath>
#include <functional>
#include <string>
#include <vector>
#include <opencv2/imgproc.hpp>
#include "detector_state.h"
#include "evaluate.h"
#include "pattern.h"
#include "pattern_writer.h"
#include "render.h"
#include "temp_dir.h"

namespace {

constexpr int kPatterns = 3;

class RealLight : public testing::Test {
protected:
    void SetUp() override {
        resetDetector();
        camera = makeCameraParam(1280, 720, 1000.0, 0.0);
        ASSERT_EQ(setWorkingCameraParam(camera), 0);
        for (int i = 0; i < kPatterns; ++i) {
            const std::string path = dir.file("p" + std::to_string(i) + ".patt");
            ASSERT_EQ(writePatternImageFile(path.c_str(), makeRandomPattern(i + 1)), 0);
            ASSERT_EQ(loadPatternFile(path.c_str()), i);
            PatternEntry e;
            e.index = i;
            e.name = "P" + std::to_string(i);
            e.width = 80.0;
            catalogue.push_back(e);
        }
    }
    void TearDown() override { resetDetector(); }

    // Markers `sidePx` wide at the given image points, pattern i % 3, tilted
    // and turned.
    std::vector<PrintedMarker> markers(double sidePx, const std::vector<cv::Point2d>& at, double tiltDeg = 10.0) const {
        std::vector<PrintedMarker> out;
        for (size_t i = 0; i < at.size(); ++i) {
            PrintedMarker m;
            m.pattern = makeRandomPattern(static_cast<uint32_t>(i % kPatterns) + 1);
            poseFromView(camera, 1000.0 * m.widthMm / sidePx, tiltDeg, -0.8 * tiltDeg, 7.0 + 31.0 * i, at[i].x, at[i].y,
                         m.transform);
            out.push_back(m);
        }
        return out;
    }

    cv::Mat render(const std::vector<PrintedMarker>& printed, RenderSettings settings = {}) const {
        settings.width = camera.xsize;
        settings.height = camera.ysize;
        settings.blurSigmaPx = settings.blurSigmaPx > 0 ? settings.blurSigmaPx : 0.7;
        settings.noiseSigma = settings.noiseSigma > 0 ? settings.noiseSigma : 2.0;
        return renderFrame(camera, printed, settings);
    }

    // Markers reported with the pattern they show, under `options`.
    int found(const cv::Mat& bgr, const std::vector<PrintedMarker>& printed, const DetectorOptions& options) {
        detectorState().options = options;
        const cv::Mat frame = toDetectorFrame(bgr);
        ResultTable table;
        if (evaluateMarkers(frame.data, catalogue, table) < 0) return 0;
        int right = 0;
        for (const MarkerResult& r : table) {
            for (size_t i = 0; i < printed.size(); ++i) {
                double x, y;
                projectCentre(printed[i], x, y);
                if (std::hypot(r.px - x, r.py - y) < 12.0 && r.patternId == static_cast<int>(i % kPatterns)) ++right;
            }
        }
        return right;
    }

    void projectCentre(const PrintedMarker& m, double& x, double& y) const {
        const double (*P)[4] = camera.projection;
        const double* t = nullptr;
        double c[3];
        for (int r = 0; r < 3; ++r) c[r] = m.transform[r][3];
        t = c;
        const double w = P[2][0] * t[0] + P[2][1] * t[1] + P[2][2] * t[2] + P[2][3];
        x = (P[0][0] * t[0] + P[0][1] * t[1] + P[0][2] * t[2] + P[0][3]) / w;
        y = (P[1][0] * t[0] + P[1][1] * t[1] + P[1][2] * t[2] + P[1][3]) / w;
    }

    static DetectorOptions automatic() {
        DetectorOptions o;
        o.autoThreshold = true;
        return o;
    }

    TempDir dir;
    CameraParam camera;
    Catalogue catalogue;
};

std::vector<cv::Point2d> row(int count, double y) {
    std::vector<cv::Point2d> at;
    for (int i = 0; i < count; ++i) at.emplace_back(1280.0 * (i + 0.5) / count, y);
    return at;
}

// Multiplies every pixel by gain(x, y).
void light(cv::Mat& bgr, const std::function<double(int, int)>& gain) {
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            cv::Vec3b& p = bgr.at<cv::Vec3b>(y, x);
            for (int k = 0; k < 3; ++k) p[k] = cv::saturate_cast<uint8_t>(p[k] * gain(x, y));
        }
}

} // namespace

TEST_F(RealLight, UnevenAndDimLightNeedTheAutomaticThreshold) {
    const std::vector<PrintedMarker> printed = markers(110, row(5, 360));
    struct Scene {
        const char* name;
        std::function<double(int, int)> gain;
    } scenes[] = {
        {"light falling from 100 % to 20 % across the frame", [](int x, int) { return 1.0 - 0.8 * x / 1279.0; }},
        {"paper darker than 100 everywhere", [](int, int) { return 0.33; }},
        // Paper at 97 in the shadow, a penumbra of 24 px.
        {"a shadow across the left half of each marker and its margin",
         [](int x, int) { return 0.38 + 0.62 * std::min(1.0, std::max(0.0, (std::fmod(x, 256.0) - 116) / 24)); }},
    };
    for (const Scene& s : scenes) {
        cv::Mat bgr = render(printed);
        light(bgr, s.gain);
        EXPECT_LT(found(bgr, printed, DetectorOptions{}), 5) << s.name << ": the fixed threshold";
        EXPECT_EQ(found(bgr, printed, automatic()), 5) << s.name;
    }
}

TEST_F(RealLight, MarkersOf16To31PixelsNeedSubPixelSampling) {
    int fixed = 0, automaticFound = 0, shown = 0;
    for (const double side : {16.0, 20.0, 24.0, 28.0, 31.0}) {
        std::vector<cv::Point2d> at;
        for (int i = 0; i < 12; ++i) at.emplace_back(100.0 + 100.0 * i, 150.0 + 100.0 * (i % 5));
        const std::vector<PrintedMarker> printed = markers(side, at, 25.0);
        // A webcam's softness and noise.
        RenderSettings soft;
        soft.blurSigmaPx = 1.0;
        soft.noiseSigma = 3.0;
        const cv::Mat bgr = render(printed, soft);
        const int f = found(bgr, printed, DetectorOptions{});
        const int a = found(bgr, printed, automatic());
        fixed += f;
        automaticFound += a;
        shown += static_cast<int>(printed.size());
    }
    // Measured: 51 and 56 of 60, the fixed threshold losing most at 16 px.
    EXPECT_GE(automaticFound, fixed + 4) << "fixed " << fixed << " automatic " << automaticFound;
    EXPECT_GE(automaticFound, shown * 9 / 10) << "fixed " << fixed << " automatic " << automaticFound;
}

TEST_F(RealLight, SixtyMarkersNeedMoreThanThirtyCandidates) {
    std::vector<cv::Point2d> at;
    for (int i = 0; i < 60; ++i) at.emplace_back(64.0 + 115.0 * (i % 10), 60.0 + 115.0 * (i / 10));
    const std::vector<PrintedMarker> printed = markers(60, at);
    const cv::Mat bgr = render(printed);
    EXPECT_LE(found(bgr, printed, DetectorOptions{}), 30);
    DetectorOptions crowded;
    crowded.maxSquares = 100;
    EXPECT_EQ(found(bgr, printed, crowded), 60);
    EXPECT_GE(detectorState().candidates.size(), 60u) << "the storage grew to the candidates found";
    // The real-camera choice opens the limit itself, and keeps one that was set.
    DetectorOptions realCamera;
    applyRealCamera(realCamera);
    EXPECT_EQ(found(bgr, printed, realCamera), 60);
    DetectorOptions limited;
    limited.maxSquares = 20;
    applyRealCamera(limited);
    EXPECT_EQ(limited.maxSquares, 20);
    detectorState().options = crowded;
    // The history variant lists them all, frame after frame, with room for its own.
    const cv::Mat frame = toDetectorFrame(bgr);
    for (int run = 0; run < 3; ++run) {
        MarkerInfo* found = nullptr;
        int count = 0;
        ASSERT_EQ(detectMarkersWithHistory(frame.data, 100, &found, &count), 0);
        int identified = 0;
        for (int i = 0; i < count; ++i) identified += found[i].id >= 0;
        EXPECT_EQ(identified, 60) << "frame " << run;
    }
}

TEST_F(RealLight, ACloseUpNeedsALargerAreaLimit) {
    const std::vector<PrintedMarker> printed = markers(400, {{640, 360}});
    const cv::Mat bgr = render(printed);
    EXPECT_EQ(found(bgr, printed, DetectorOptions{}), 0);
    DetectorOptions close;
    close.maxMarkerArea = 200000;
    EXPECT_EQ(found(bgr, printed, close), 1);
}

TEST_F(RealLight, RegisteringACloseUpRetriesOnAReducedCopyAndSaysSo) {
    const cv::Mat closeUp = renderMarkerImage(makeRandomPattern(2), 500, 60);
    std::string error, note;
    ASSERT_EQ(registerLargestSquare(closeUp, dir.file("c.patt"), dir.file("c.jpg"), error, &note), 0) << error;
    EXPECT_NE(note.find("area limit of 100000"), std::string::npos) << note;
    EXPECT_NE(note.find("reduced"), std::string::npos) << note;
    // The pattern from the reduced copy is the printed one.
    cv::Mat stored;
    ASSERT_EQ(readPatternImage(dir.file("c.patt").c_str(), stored), 0);
    cv::Mat difference;
    cv::absdiff(stored, makeRandomPattern(2), difference);
    EXPECT_LT(cv::mean(difference)[0], 40.0);

    const cv::Mat blank(300, 300, CV_8UC3, cv::Scalar::all(255));
    EXPECT_EQ(registerLargestSquare(blank, dir.file("b.patt"), dir.file("b.jpg"), error, &note), -1);
    EXPECT_NE(error.find("70 to 100000 pixels"), std::string::npos) << error;
    EXPECT_NE(error.find("threshold 100"), std::string::npos) << error;
}

TEST_F(RealLight, TheAutomaticThresholdFindsNothingInEmptyOrHostileFrames) {
    cv::Mat noise(720, 1280, CV_8UC3);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat fine(720, 1280, CV_8UC3);
    cv::randn(fine, cv::Scalar::all(128), cv::Scalar::all(20));
    const cv::Mat frames[] = {cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(0)),
                              cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(128)),
                              cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(255)), noise, fine};
    detectorState().options = automatic();
    for (const cv::Mat& bgr : frames) {
        const cv::Mat frame = toDetectorFrame(bgr);
        MarkerInfo* markers = nullptr;
        int count = -1;
        detectMarkers(frame.data, 100, &markers, &count);
        int identified = 0;
        for (int i = 0; i < count; ++i) identified += markers[i].id >= 0 && markers[i].cf >= MIN_CONFIDENCE;
        EXPECT_EQ(identified, 0);
    }
}
