// The pattern capture worker: which square the mouse selects, the outlines,
// the window's events, and whole captures from a replayed camera.
#include <gtest/gtest.h>
#include <filesystem>
#include <mutex>
#include <QApplication>
#include <QTest>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include "camera.h"
#include "frame_window.h"
#include "capture_worker.h"
#include "detect_markers.h"
#include "detector_state.h"
#include "gui_support.h"
#include "pattern.h"
#include "render.h"
#include "temp_dir.h"

namespace {

MarkerInfo squareMarker(double left, double top, double right, double bottom) {
    MarkerInfo m{};
    const double corners[4][2] = {{left, top}, {right, top}, {right, bottom}, {left, bottom}};
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 2; ++c) m.vertex[k][c] = corners[k][c];
    m.pos[0] = (left + right) / 2;
    m.pos[1] = (top + bottom) / 2;
    return m;
}

QWidget* captureWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == CAPTURE_WINDOW && w->isVisible()) return w;
    return nullptr;
}

// The notice over the capture window's picture; empty when none shows.
QString noticeShown() {
    auto* window = dynamic_cast<FrameWindow*>(captureWindow());
    return window ? window->notice() : QString();
}

TEST(CaptureHitTest, TheBoxIncludesItsRightColumnButNotItsBottomRow) {
    const MarkerInfo m = squareMarker(10.7, 20.2, 50.9, 60.8);
    EXPECT_EQ(selectMarkerAt(&m, 1, 10, 20), 0);
    EXPECT_EQ(selectMarkerAt(&m, 1, 50, 59), 0);
    EXPECT_EQ(selectMarkerAt(&m, 1, 51, 40), -1);
    EXPECT_EQ(selectMarkerAt(&m, 1, 30, 60), -1);
    EXPECT_EQ(selectMarkerAt(&m, 1, 9, 40), -1);
    EXPECT_EQ(selectMarkerAt(&m, 1, 30, 19), -1);
}

TEST(CaptureHitTest, OfOverlappingMarkersTheLaterOneWins) {
    const MarkerInfo m[3] = {squareMarker(0, 0, 100, 100), squareMarker(40, 40, 60, 60), squareMarker(200, 0, 300, 100)};
    EXPECT_EQ(selectMarkerAt(m, 3, 50, 50), 1);
    EXPECT_EQ(selectMarkerAt(m, 3, 10, 10), 0);
    EXPECT_EQ(selectMarkerAt(m, 3, 150, 50), -1);
    EXPECT_EQ(selectMarkerAt(m, 0, 50, 50), -1);
}

TEST(CaptureMouseState, ButtonsFollowTheirDownAndUpEventsAndEveryEventMoves) {
    CaptureMouse mouse;
    mouse.onEvent(cv::EVENT_LBUTTONDOWN, 5, 6);
    EXPECT_TRUE(mouse.left);
    mouse.onEvent(cv::EVENT_MOUSEMOVE, 7, 8);
    EXPECT_TRUE(mouse.left);
    EXPECT_EQ(mouse.x, 7);
    EXPECT_EQ(mouse.y, 8);
    mouse.onEvent(cv::EVENT_RBUTTONDOWN, 1, 1);
    mouse.onEvent(cv::EVENT_LBUTTONUP, 2, 3);
    EXPECT_FALSE(mouse.left);
    EXPECT_TRUE(mouse.right);
    EXPECT_EQ(mouse.x, 2);
    mouse.onEvent(cv::EVENT_MBUTTONDOWN, 0, 0);
    mouse.onEvent(cv::EVENT_RBUTTONUP, 0, 0);
    EXPECT_TRUE(mouse.middle);
    EXPECT_FALSE(mouse.right);
}

TEST(CaptureOutlines, SelectedIsRedOthersYellowWithTheTopEdgeStroke) {
    cv::Mat image(120, 240, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    const MarkerInfo m[2] = {squareMarker(20, 20, 100, 100), squareMarker(140, 20, 220, 100)};
    drawCaptureOutlines(image, m, 2, 1);
    const cv::Vec4b red(0, 0, 255, 0), yellow(0, 255, 255, 0);
    EXPECT_EQ(image.at<cv::Vec4b>(20, 60), yellow); // top edge of marker 0
    EXPECT_EQ(image.at<cv::Vec4b>(60, 220), red);   // right edge of marker 1
    // Edge 2-3 is the bottom one here: the stroke runs from the centre (60, 60)
    // down through (60, 100) to (60, 140), off the image.
    EXPECT_EQ(image.at<cv::Vec4b>(80, 60), yellow);
    EXPECT_EQ(image.at<cv::Vec4b>(110, 60), yellow);
    EXPECT_EQ(image.at<cv::Vec4b>(40, 60), cv::Vec4b(0, 0, 0, 0)) << "nothing above the centre";
    EXPECT_EQ(image.at<cv::Vec4b>(60, 60), yellow);
}

TEST(FrameWindowEvents, MouseKeysAndCloseBoxReachTheWorker) {
    ensureApplication();
    CaptureMouse mouse;
    FrameWindow window(CAPTURE_WINDOW, &mouse);
    window.showFrame(QImage(64, 48, QImage::Format_RGB32));
    window.show();
    EXPECT_EQ(window.size(), QSize(64, 48));
    QTest::mousePress(&window, Qt::LeftButton, Qt::NoModifier, QPoint(12, 34));
    EXPECT_TRUE(mouse.left);
    EXPECT_EQ(mouse.x, 12);
    EXPECT_EQ(mouse.y, 34);
    QTest::mouseRelease(&window, Qt::LeftButton, Qt::NoModifier, QPoint(13, 30));
    EXPECT_FALSE(mouse.left);
    QTest::keyClick(&window, Qt::Key_A);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_FALSE(window.ended());
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_TRUE(window.ended());

    FrameWindow closed(CAPTURE_WINDOW, &mouse);
    closed.show();
    closed.close();
    EXPECT_TRUE(closed.ended());
}

// Records what the worker asks of its host; rows start at `existingRows`.
class RecordingHost : public CaptureHost {
public:
    explicit RecordingHost(int existingRows) : existing_(existingRows) {}
    int patternRowCount() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return existing_ + static_cast<int>(rows_.size());
    }
    int addPatternRow(const PatternEntry& entry) override {
        std::lock_guard<std::mutex> lock(mutex_);
        rows_.push_back(entry);
        return 0;
    }
    void reportProblem(const std::string& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        problems_.push_back(message);
    }
    void captureEnded() override { ended = true; }

    std::vector<PatternEntry> rows() {
        std::lock_guard<std::mutex> lock(mutex_);
        return rows_;
    }
    std::vector<std::string> problems() {
        std::lock_guard<std::mutex> lock(mutex_);
        return problems_;
    }
    std::atomic<bool> ended{false};

private:
    std::mutex mutex_;
    int existing_;
    std::vector<PatternEntry> rows_;
    std::vector<std::string> problems_;
};

class CaptureSession : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        resetDetector();
        dir.enterWithData();
        camera = defaultCameraParam();
        ASSERT_EQ(saveCameraParam("Data/camera_para.dat", 1, &camera), 0);
        marker.pattern = makeRandomPattern(23);
        poseFromView(camera, 450.0, 10.0, -10.0, 20.0, 320, 240, marker.transform);
        cv::imwrite("frame.png", renderFrame(camera, {marker}, RenderSettings{}));
        ASSERT_EQ(OpenCamera(0, state, [](int) { return std::string("file:frame.png"); }), 0) << state.lastError;
        ASSERT_EQ(loadCameraParam("Data/camera_para.dat", 1, &job.cameraParam), 0);
        job.camera = &state;
        job.defaultWidthMm = 62.5;
    }
    void TearDown() override {
        worker.requestStop();
        waitUntil([&] { return host.ended.load(); });
        worker.join();
        resetDetector();
    }

    // Waits until the worker has processed `frames` more frames.
    bool framesPass(long frames) {
        const long target = worker.frameCount() + frames;
        return waitUntil([&] { return worker.frameCount() >= target; });
    }
    void pointAtMarker() {
        ASSERT_TRUE(waitUntil([&] { return !worker.latestMarkers().empty(); }));
        const MarkerInfo m = worker.latestMarkers().front();
        worker.mouse.onEvent(cv::EVENT_MOUSEMOVE, static_cast<int>(m.pos[0]), static_cast<int>(m.pos[1]));
    }

    TempDir dir;
    CameraParam camera;
    PrintedMarker marker;
    CameraState state;
    CaptureJob job;
    RecordingHost host{3};
    CaptureWorker worker;
};

TEST_F(CaptureSession, APressOverAMarkerCapturesItOnceUnderTheNextNumber) {
    worker.start(host, job);
    pointAtMarker();
    worker.mouse.onEvent(cv::EVENT_LBUTTONDOWN, worker.mouse.x, worker.mouse.y);
    ASSERT_TRUE(framesPass(5));
    std::vector<PatternEntry> rows = host.rows();
    ASSERT_EQ(rows.size(), 1u) << "held for five frames, captured once";
    EXPECT_EQ(rows[0].index, 3);
    EXPECT_EQ(rows[0].name, "P003");
    EXPECT_EQ(rows[0].path, "003.patt");
    EXPECT_DOUBLE_EQ(rows[0].width, 62.5);
    EXPECT_TRUE(rows[0].inUse);
    EXPECT_TRUE(std::filesystem::exists("Data/003.patt"));
    const cv::Mat thumbnail = cv::imread("Data/003.jpg");
    EXPECT_EQ(thumbnail.size(), cv::Size(80, 80));

    worker.mouse.onEvent(cv::EVENT_LBUTTONUP, worker.mouse.x, worker.mouse.y);
    ASSERT_TRUE(framesPass(2));
    worker.mouse.onEvent(cv::EVENT_LBUTTONDOWN, worker.mouse.x, worker.mouse.y);
    ASSERT_TRUE(framesPass(2));
    rows = host.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].name, "P004");
    EXPECT_TRUE(std::filesystem::exists("Data/004.patt"));
    // The same marker twice is written, with the operator told of the
    // likeness over the picture, where the capture goes on: no box of the host's.
    const std::vector<std::string> notices = worker.notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("Data/004.patt was written, but the new pattern is close to Data/003.patt"),
              std::string::npos) << notices[0];
    EXPECT_TRUE(host.problems().empty());
    ASSERT_TRUE(waitUntil([&] { return noticeShown().toStdString() == notices[0]; }));
    // It fades, and the window takes Escape as before.
    ASSERT_TRUE(waitUntil([&] { return noticeShown().isEmpty(); }));
    QTest::keyClick(captureWindow(), Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return host.ended.load(); }));
    EXPECT_TRUE(host.problems().empty());
}

// A square with nothing inside would match any blank patch: the operator
// is told why, and no file or row is made.
TEST_F(CaptureSession, ABlankMarkerIsRefusedWithItsReason) {
    CloseCamera(state);
    marker.pattern = cv::Mat(16, 16, CV_8UC3, cv::Scalar::all(255));
    cv::imwrite("frame.png", renderFrame(camera, {marker}, RenderSettings{}));
    ASSERT_EQ(OpenCamera(0, state, [](int) { return std::string("file:frame.png"); }), 0) << state.lastError;
    worker.start(host, job);
    pointAtMarker();
    worker.mouse.onEvent(cv::EVENT_LBUTTONDOWN, worker.mouse.x, worker.mouse.y);
    ASSERT_TRUE(waitUntil([&] { return !worker.notices().empty(); }));
    EXPECT_NE(worker.notices()[0].find("Data/003.patt was not written: "), std::string::npos) << worker.notices()[0];
    ASSERT_TRUE(waitUntil([&] { return noticeShown().toStdString() == worker.notices()[0]; }));
    EXPECT_TRUE(host.problems().empty());
    EXPECT_TRUE(host.rows().empty());
    EXPECT_FALSE(std::filesystem::exists("Data/003.patt"));
    EXPECT_FALSE(std::filesystem::exists("Data/003.jpg"));
}

TEST_F(CaptureSession, AClickShorterThanAFrameStillCapturesOnce) {
    worker.start(host, job);
    pointAtMarker();
    worker.mouse.onEvent(cv::EVENT_LBUTTONDOWN, worker.mouse.x, worker.mouse.y);
    worker.mouse.onEvent(cv::EVENT_LBUTTONUP, worker.mouse.x, worker.mouse.y);
    ASSERT_TRUE(framesPass(3));
    ASSERT_EQ(host.rows().size(), 1u);
    EXPECT_EQ(host.rows()[0].name, "P003");
}

TEST_F(CaptureSession, APressBesideTheMarkerThenMovedOntoItCapturesNothing) {
    worker.start(host, job);
    ASSERT_TRUE(waitUntil([&] { return !worker.latestMarkers().empty(); }));
    worker.mouse.onEvent(cv::EVENT_LBUTTONDOWN, 2, 2);
    ASSERT_TRUE(framesPass(2));
    pointAtMarker();
    ASSERT_TRUE(framesPass(3));
    EXPECT_TRUE(host.rows().empty());
    EXPECT_FALSE(std::filesystem::exists("Data/003.patt"));
}

TEST_F(CaptureSession, TheCapturedPatternIsRecognisedInANewView) {
    worker.start(host, job);
    pointAtMarker();
    worker.mouse.onEvent(cv::EVENT_LBUTTONDOWN, worker.mouse.x, worker.mouse.y);
    ASSERT_TRUE(waitUntil([&] { return host.rows().size() == 1; }));
    worker.requestStop();
    ASSERT_TRUE(waitUntil([&] { return host.ended.load(); }));
    worker.join();

    resetDetector();
    ASSERT_EQ(setWorkingCameraParam(camera), 0);
    ASSERT_EQ(loadPatternFile("Data/003.patt"), 0);
    PrintedMarker moved = marker;
    poseFromView(camera, 600.0, -20.0, 15.0, 130.0, 250, 200, moved.transform);
    const cv::Mat frame = toDetectorFrame(renderFrame(camera, {moved}, RenderSettings{}));
    MarkerInfo* found = nullptr;
    int count = 0;
    ASSERT_EQ(detectMarkers(frame.data, 100, &found, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(found[0].id, 0);
    EXPECT_GT(found[0].cf, 0.8);
}

TEST_F(CaptureSession, EscapeInTheWindowEndsTheWorkerAndClosesTheCamera) {
    worker.start(host, job);
    ASSERT_TRUE(waitUntil([&] { return captureWindow() != nullptr && worker.frameCount() > 0; }));
    QTest::keyClick(captureWindow(), Qt::Key_Space);
    ASSERT_TRUE(framesPass(2));
    EXPECT_FALSE(host.ended);
    QTest::keyClick(captureWindow(), Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return host.ended.load(); }));
    worker.join();
    EXPECT_TRUE(state.FrameImage.empty());
    EXPECT_EQ(captureWindow(), nullptr);
}

TEST_F(CaptureSession, ClosingTheWindowEndsTheWorker) {
    worker.start(host, job);
    ASSERT_TRUE(waitUntil([&] { return captureWindow() != nullptr; }));
    captureWindow()->close();
    ASSERT_TRUE(waitUntil([&] { return host.ended.load(); }));
    worker.join();
    EXPECT_TRUE(state.FrameImage.empty());
}

} // namespace
