// The tracking worker end to end: the synthetic camera through detection to
// clients on real loopback sockets, and its start and stop orders.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include "camera.h"
#include "detector_state.h"
#include "network.h"
#include "server_host.h"
#include "server_state.h"
#include "synthetic_scene.h"
#include "temp_dir.h"
#include "tracking_worker.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A host like the headless mode's: switches held in memory, the Output text
// and problems recorded.
class RecordingHost : public ServingTrackingHost {
public:
    explicit RecordingHost(int rows) : rows_(rows, true) {}

    bool previewChecked() override { return preview; }
    bool showPreview(const cv::Mat& bgra) override {
        previewShown = bgra.cols;
        return !previewClosedByHand.exchange(false);
    }
    void closePreview() override { previewShown = 0; }
    void uncheckPreview() override { preview = false; }
    int patternRowCount() override { return static_cast<int>(rows_.size()); }
    bool patternRowChecked(int row) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return rows_[row];
    }
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
        std::lock_guard<std::mutex> lock(mutex_);
        rows_[row] = checked;
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
    std::vector<bool> rows_;
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
        fs::copy(fs::path(QUILLMARK_SOURCE_DIR) / "Data", "Data", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
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

    bool openSynthetic() {
        return OpenCamera(0, camera_, [](int) { return std::string("synthetic"); }) == 0;
    }

    TempDir dir_;
    CameraState camera_;
    // Declared before the worker, so it outlives the worker's last call.
    RecordingHost host{4};
    TrackingWorker worker_;
};

template <typename Predicate>
bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Reads one whole report: the "Num= n" header and n lines.
std::vector<std::string> readReport(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const size_t header = text.find('\n');
        if (header != std::string::npos) {
            const int count = std::atoi(text.c_str() + 5);
            std::vector<std::string> lines;
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line)) lines.push_back(line);
            if (static_cast<int>(lines.size()) >= count + 1 && text.back() == '\n') return lines;
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return {};
        text.append(buffer, static_cast<size_t>(got));
    }
}

std::vector<std::string> ask(int fd, const std::string& command) {
    send(fd, command.data(), command.size(), MSG_NOSIGNAL);
    return readReport(fd);
}

std::vector<std::string> splitCommas(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, ',')) fields.push_back(field);
    return fields;
}

bool closedByServer(int fd) {
    char byte;
    return recv(fd, &byte, 1, 0) == 0;
}

} // namespace

TEST_F(WorkerTest, ClientsSeeTheRenderedMarkersWithTheirNamesAndPoses) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
    ASSERT_TRUE(waitFor([&] { return host.port() != 0 && host.frames() > 2; }));

    const int fd = connectTo(host.port());
    ASSERT_GE(fd, 0);
    std::vector<std::string> report;
    ASSERT_TRUE(waitFor([&] {
        report = ask(fd, "all\n");
        return report.size() == 5;
    })) << "last report header: " << (report.empty() ? "none" : report[0]);
    EXPECT_EQ(report[0], "Num= 4");

    // Each reported pose is the truth of some frame the camera rendered.
    const SyntheticScene scene = SyntheticScene::fromDataDirectory();
    std::set<std::string> names;
    for (size_t i = 1; i < report.size(); ++i) {
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
    close(fd);
}

TEST_F(WorkerTest, AnUncheckedRowStopsBeingRecognisedAndComesBackWhenChecked) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
    ASSERT_TRUE(waitFor([&] { return host.output().rfind("Num= 4", 0) == 0; }));
    host.setRow(1, false);
    ASSERT_TRUE(waitFor([&] { return host.output().rfind("Num= 3", 0) == 0; }));
    EXPECT_EQ(host.output().find("Fork"), std::string::npos);
    host.setRow(1, true);
    EXPECT_TRUE(waitFor([&] { return host.output().rfind("Num= 4", 0) == 0; }));
}

TEST_F(WorkerTest, StopDuringSetUpStillShutsDownInOrder) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
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
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
    ASSERT_TRUE(waitFor([&] { return host.port() != 0; }));
    const int port = host.port();
    const int fd = connectTo(port);
    ASSERT_FALSE(readReport(fd).empty());

    worker_.requestStop();
    worker_.join();
    // The connection ends at its next pass; remaining reports are drained.
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) closed = readReport(fd).empty();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(Network::waitForLiveConnections(0, 5000));
    EXPECT_LT(connectTo(port), 0);
    close(fd);
}

TEST_F(WorkerTest, AWaitingCommandClientIsAnsweredOnceMoreAfterStopThenClosed) {
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
    ASSERT_TRUE(waitFor([&] { return host.port() != 0 && host.output().rfind("Num= 4", 0) == 0; }));
    const int fd = connectTo(host.port());
    ASSERT_FALSE(ask(fd, "all\n").empty());
    // Past its 33 ms pass, the connection waits for the next chunk.
    std::this_thread::sleep_for(100ms);

    worker_.requestStop();
    worker_.join();
    // The last table stays and is still served to the chunk that arrives.
    const std::vector<std::string> last = ask(fd, "all\n");
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.size(), static_cast<size_t>(std::atoi(last[0].c_str() + 5) + 1));
    EXPECT_TRUE(closedByServer(fd));
    close(fd);
}

TEST_F(WorkerTest, AMissingCameraFileRefusesToServeAndNamesTheFile) {
    fs::remove("Data/camera_para.dat");
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
    ASSERT_TRUE(waitFor([&] { return host.ended.load(); }));
    EXPECT_NE(host.problems().find("Data/camera_para.dat"), std::string::npos);
    EXPECT_FALSE(host.serverStarted);
    EXPECT_TRUE(camera_.FrameImage.empty());
    EXPECT_EQ(detectorState().patterns.count, 0);
}

TEST_F(WorkerTest, ATakenPortIsReportedAndTheWorkerShutsDown) {
    Network holder;
    holder.start(0, [](Network&) {});
    ASSERT_TRUE(openSynthetic());
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), holder.port(), {}});
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
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
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
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
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
    worker_.start(host, TrackingJob{&camera_, shippedCatalogue(), 0, {}});
    ASSERT_TRUE(waitFor([&] { return host.previewShown != 0; }));
    worker_.requestStop();
    worker_.join();
    EXPECT_EQ(host.previewShown, 0);
}
