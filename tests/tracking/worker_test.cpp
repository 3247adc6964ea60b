// The tracking worker end to end: the synthetic camera through detection to
// clients on real loopback sockets, and its start and stop orders.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include "camera.h"
#include "detector_state.h"
#include "network.h"
#include "server_host.h"
#include "server_state.h"
#include "synthetic_scene.h"
#include "temp_dir.h"
#include "test_client.h"
#include "tracking_worker.h"
#include "paths.h"
#include "wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A host like the headless mode's: switches held in memory, the Output text
// and problems recorded.
class RecordingHost : public ServingTrackingHost {
public:
    explicit RecordingHost(int rows) { switches_.replace(std::vector<bool>(rows, true)); }

    bool previewChecked() override { return preview; }
    bool showPreview(const cv::Mat& bgra) override {
        previewShown = bgra.cols;
        return !previewClosedByHand.exchange(false);
    }
    void closePreview() override { previewShown = 0; }
    void uncheckPreview() override { preview = false; }
    PatternSwitches::Snapshot patternSwitches() override { return switches_.latest(); }
    void setOutputText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        output_ = text;
        ++frames_;
    }
    bool startServer(int port, std::string& error) override {
        const bool ok = ServingTrackingHost::startServer(port, error);
        serverStarted = serverStarted || ok;
        return ok;
    }
    void reportProblem(const std::string& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        problems_ += message + "\n";
    }
    void trackingEnded() override { ended = true; }

    void setRow(int row, bool checked) {
        std::vector<bool> rows = *switches_.latest();
        rows[row] = checked;
        switches_.replace(rows);
    }
    std::string output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }
    std::string problems() {
        std::lock_guard<std::mutex> lock(mutex_);
        return problems_;
    }
    int frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

    std::atomic<bool> preview{false};
    std::atomic<int> previewShown{0}; // width of the frame on show, 0 when closed
    std::atomic<bool> previewClosedByHand{false};
    std::atomic<bool> serverStarted{false};
    std::atomic<bool> ended{false};

private:
    std::mutex mutex_;
    PatternSwitches switches_;
    std::string output_;
    std::string problems_;
    int frames_ = 0;
};

// The shipped Data/ copied into a fresh working directory.
class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetDetector();
        dir_.enterWithData();
        fs::copy(fs::path(sourceDir()) / "Data", "Data", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        AutomaticModeFlag = false;
        setActiveDataFormat(allFields());
    }
    void TearDown() override {
        worker_.requestStop();
        worker_.join();
        Network::waitForLiveConnections(0, 5000);
    }

    Catalogue shippedCatalogue() {
        Catalogue catalogue;
        const char* names[] = {"Flag", "Fork", "Kite", "Hook"};
        for (int i = 0; i < 4; ++i) {
            catalogue.push_back(PatternEntry{i, names[i], "", 80.0, true});
        }
        return catalogue;
    }

    TrackingJob job(int port = 0) { return TrackingJob{&camera_, shippedCatalogue(), port, {}, {}, {}, {}, {}}; }

    bool openSynthetic() {
        return OpenCamera(0, camera_, [](int) { return std::string("synthetic"); }) == 0;
    }

    TempDir dir_;
    CameraState camera_;
    // Declared before the worker, so it outlives the worker's last call.
    RecordingHost host{4};
    TrackingWorker worker_;
};

// The report's marker lines after sending `command`; empty when none came.
std::vector<std::string> ask(TestClient& client, const std::string& command) {
    client.sendText(command);
    std::vector<std::string> lines;
    client.readReport(lines);
    return lines;
}

std::vector<std::string> splitCommas(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, ',')) fields.push_back(field);
    return fields;
}

} // namespace

TEST_F(WorkerTest, ClientsSeeTheRenderedMarkersWithTheirNamesAndPoses) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.port() != 0 && host.frames() > 2; }));

    TestClient client(host.port());
    ASSERT_TRUE(client.connected());
    std::vector<std::string> report;
    ASSERT_TRUE(waitFor([&] {
        report = ask(client, "all\n");
        return report.size() == 4;
    })) << "markers in the last report: " << report.size();

    // Each reported pose is the truth of some frame the camera rendered.
    const SyntheticScene scene = SyntheticScene::fromDataDirectory();
    std::set<std::string> names;
    for (size_t i = 0; i < report.size(); ++i) {
        const std::vector<std::string> fields = splitCommas(report[i]);
        ASSERT_EQ(fields.size(), 34u) << report[i];
        names.insert(fields[0]);
        const int index = fields[0] == "Flag" ? 0 : fields[0] == "Fork" ? 1 : fields[0] == "Kite" ? 2 : 3;
        const double x = std::stod(fields[5]), y = std::stod(fields[6]), z = std::stod(fields[7]);
        double best = 1e9;
        for (long k = 0; k < 3000; ++k) {
            double truth[3][4];
            scene.poseAt(static_cast<size_t>(index), k, truth);
            best = std::min(best, std::hypot(x - truth[0][3], y - truth[1][3], z - truth[2][3]));
        }
        // The contour runs through the outermost dark pixels, half a pixel
        // inside the printed edge, so markers of about 100 px come out a
        // little small and far.
        EXPECT_LT(best, 0.03 * z) << report[i];
    }
    EXPECT_EQ(names, (std::set<std::string>{"Flag", "Fork", "Kite", "Hook"}));
    EXPECT_EQ(host.output().rfind("Num= 4\r\n", 0), 0u);
}

TEST_F(WorkerTest, AnUncheckedRowStopsBeingRecognisedAndComesBackWhenChecked) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.output().rfind("Num= 4", 0) == 0; }));
    host.setRow(1, false);
    ASSERT_TRUE(waitFor([&] { return host.output().rfind("Num= 3", 0) == 0; }));
    EXPECT_EQ(host.output().find("Fork"), std::string::npos);
    host.setRow(1, true);
    EXPECT_TRUE(waitFor([&] { return host.output().rfind("Num= 4", 0) == 0; }));
}

TEST_F(WorkerTest, StopDuringSetUpStillShutsDownInOrder) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, job());
    worker_.requestStop();
    worker_.join();
    EXPECT_TRUE(host.ended);
    EXPECT_FALSE(host.serverStarted);
    EXPECT_EQ(host.port(), 0);
    EXPECT_TRUE(camera_.FrameImage.empty());
    EXPECT_EQ(detectorState().patterns.count, 0);
    EXPECT_FALSE(serverActive());
}

TEST_F(WorkerTest, StopEndsAutomaticClientsAndFreesThePort) {
    AutomaticModeFlag = true;
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.port() != 0; }));
    const int port = host.port();
    TestClient client(port);
    std::vector<std::string> lines;
    ASSERT_TRUE(client.readReport(lines));

    worker_.requestStop();
    worker_.join();
    // The connection ends at its next pass; remaining reports are drained.
    std::string rest;
    EXPECT_TRUE(client.readToEnd(rest));
    EXPECT_TRUE(Network::waitForLiveConnections(0, 5000));
    EXPECT_FALSE(TestClient(port).connected());
}

TEST_F(WorkerTest, AWaitingCommandClientIsAnsweredOnceMoreAfterStopThenClosed) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.port() != 0 && host.output().rfind("Num= 4", 0) == 0; }));
    TestClient client(host.port());
    ASSERT_FALSE(ask(client, "all\n").empty());
    // Past its 33 ms pass, the connection waits for the next chunk.
    std::this_thread::sleep_for(100ms);

    worker_.requestStop();
    worker_.join();
    // The last table stays and is still served to the chunk that arrives.
    std::vector<std::string> last;
    client.sendText("all\n");
    EXPECT_TRUE(client.readReport(last));
    std::string rest;
    EXPECT_TRUE(client.readToEnd(rest));
    EXPECT_EQ(rest, "");
}

// No record, or one the detector cannot install or would find nothing with
// (the sizes or focal lengths a faulty calibration import wrote): the run
// ends with a message, nothing served.
TEST_F(WorkerTest, ACameraRecordThatCannotBeInstalledEndsTheRunAndNamesTheFile) {
    CameraParam shipped;
    ASSERT_EQ(loadCameraParam(kCameraParamPath, 1, &shipped), 0);
    const std::vector<std::tuple<int, int, double>> records = {
        {-640, -480, 1.0}, {640, 0, 1.0}, {640, 480, 0.0}, {0, 0, 1.0}};
    for (const auto& [width, height, focalFactor] : records) {
        CameraParam record = shipped;
        record.xsize = width;
        record.ysize = height;
        record.projection[0][0] *= focalFactor;
        record.projection[1][1] *= focalFactor;
        ASSERT_EQ(saveCameraParam(kCameraParamPath, 1, &record), 0);
        if (width == 0) fs::remove(kCameraParamPath);
        RecordingHost refused(4);
        TrackingWorker worker;
        ASSERT_TRUE(openSynthetic());
        worker.start(refused, job());
        worker.join();
        EXPECT_NE(refused.problems().find(kCameraParamPath), std::string::npos) << width << " x " << height << " f " << focalFactor;
        EXPECT_TRUE(refused.ended && !refused.serverStarted);
        EXPECT_TRUE(camera_.FrameImage.empty());
        EXPECT_EQ(detectorState().patterns.count, 0);
    }
}

TEST_F(WorkerTest, ATakenPortIsReportedAndTheWorkerShutsDown) {
    Network holder;
    holder.start(0, [](Network&) {});
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, job(holder.port()));
    ASSERT_TRUE(waitFor([&] { return host.ended.load(); }));
    EXPECT_NE(host.problems().find(std::to_string(holder.port())), std::string::npos) << host.problems();
    EXPECT_TRUE(camera_.FrameImage.empty());
    EXPECT_EQ(detectorState().patterns.count, 0);
    EXPECT_FALSE(serverActive());
    holder.stop();
}

TEST_F(WorkerTest, AStalledSourceIsReportedAndStopStillWorks) {
    fs::create_directories("frames");
    cv::Mat frame(240, 322, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::imwrite("frames/0001.png", frame);
    cv::imwrite("frames/0002.png", frame);
    camera_.grabTimeoutMs = 300;
    ASSERT_EQ(OpenCamera(0, camera_, [](int) { return std::string("file:frames"); }), 0);
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.frames() > 1; }));
    fs::remove_all("frames");
    ASSERT_TRUE(waitFor([&] { return host.problems().find("no frames") != std::string::npos; }));
    worker_.requestStop();
    worker_.join();
    EXPECT_TRUE(host.ended);
    EXPECT_TRUE(camera_.FrameImage.empty());
}

TEST_F(WorkerTest, PreviewFollowsItsSwitchAndAWindowClosedByHandUnchecksIt) {
    ASSERT_TRUE(openSynthetic());
    host.preview = true;
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.previewShown == 640; }));
    host.preview = false;
    ASSERT_TRUE(waitFor([&] { return host.previewShown == 0; }));
    host.preview = true;
    ASSERT_TRUE(waitFor([&] { return host.previewShown == 640; }));
    host.previewClosedByHand = true;
    ASSERT_TRUE(waitFor([&] { return !host.preview && host.previewShown == 0; }));
    worker_.requestStop();
    worker_.join();
    EXPECT_EQ(host.problems(), "");
}

TEST_F(WorkerTest, ShutdownClosesAnOpenPreview) {
    ASSERT_TRUE(openSynthetic());
    host.preview = true;
    worker_.start(host, job());
    ASSERT_TRUE(waitFor([&] { return host.previewShown != 0; }));
    worker_.requestStop();
    worker_.join();
    EXPECT_EQ(host.previewShown, 0);
}

// Keeps every frame the worker hands to the outputs beside the server.
class RecordingOutput : public FrameOutput {
public:
    void publishFrame(const PublishedFrame& frame) override {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
    }
    std::vector<PublishedFrame> frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    std::mutex mutex_;
    std::vector<PublishedFrame> frames_;
};

TEST_F(WorkerTest, EveryFrameReachesEachOutputWithItsStampAndSize) {
    ASSERT_TRUE(openSynthetic());
    auto first = std::make_shared<RecordingOutput>(), second = std::make_shared<RecordingOutput>();
    TrackingJob withOutputs = job();
    withOutputs.frameOutputs = {first, second};
    worker_.start(host, std::move(withOutputs));
    ASSERT_TRUE(waitFor([&] { return first->frames().size() >= 5; }));
    worker_.requestStop();
    worker_.join();
    const std::vector<PublishedFrame> frames = first->frames();
    EXPECT_EQ(second->frames().size(), frames.size());
    EXPECT_EQ(frames.size(), static_cast<size_t>(host.frames())) << "one hand-over per processed frame";
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].stamp.frame, i + 1);
        EXPECT_EQ(frames[i].width, 640);
        EXPECT_EQ(frames[i].height, 480);
        if (i > 0) {
            EXPECT_GE(frames[i].stamp.captureTime, frames[i - 1].stamp.captureTime);
        }
    }
    // The last frame handed over is the one the table and the Output box show.
    EXPECT_EQ(host.output().rfind("Num= " + std::to_string(frames.back().results.size()) + "\r\n", 0), 0u);
}
