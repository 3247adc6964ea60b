// The tracking worker's cost and latency, at 640x480 and 1280x720 with the
// four shipped demo markers in motion.
//
// 1. Per-frame cost of the worker's own steps on pre-rendered frames, one
//    core: BGR to BGRA conversion, detection and evaluation into the table,
//    and the Output text. Median and 99th percentile.
// 2. Latency on the real worker and the real server on loopback: from the
//    moment a frame's table is published to the moment an Automatic-Mode
//    client has the report of that frame; plus the per-frame cost above, this
//    is the time from the frame's arrival to its report at the client.
//
// Run from the source tree's root (it reads Data/) or pass the root as the
// first argument. Exits non-zero when a frame is not fully recognised.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <opencv2/imgproc.hpp>
#include "camera.h"
#include "catalogue.h"
#include "detector_state.h"
#include "evaluate.h"
#include "network.h"
#include "report.h"
#include "server_host.h"
#include "server_state.h"
#include "synthetic_scene.h"
#include "tracking_worker.h"

namespace {

using Clock = std::chrono::steady_clock;

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

CameraParam cameraFor(int width, int height) {
    CameraParam stored;
    loadCameraParam(kCameraParamPath, 1, &stored);
    CameraParam scaled;
    scaleCameraParam(stored, width, height, scaled);
    return scaled;
}

SyntheticScene sceneFor(const CameraParam& camera) {
    std::vector<cv::Mat> patterns;
    for (int i = 0; i < 4; ++i) {
        cv::Mat pattern;
        readPatternImage(patternFilePath(i).c_str(), pattern);
        patterns.push_back(pattern);
    }
    return SyntheticScene(camera, patterns, std::vector<double>(4, 80.0));
}

// The worker's steps between grab and the Output text, timed frame by frame.
bool measureFrameCost(int width, int height, const Catalogue& catalogue) {
    const CameraParam camera = cameraFor(width, height);
    const SyntheticScene scene = sceneFor(camera);
    std::vector<cv::Mat> frames;
    for (long k = 0; k < 60; ++k) frames.push_back(scene.render(k * 7, nullptr));

    resetDetector();
    setWorkingCameraParam(camera);
    LoadCataloguePatterns(catalogue);
    cv::Mat work(height, width, CV_8UC4);
    ResultTable table;
    std::vector<double> costs;
    std::vector<size_t> found;
    for (int round = 0; round < 10; ++round) {
        for (const cv::Mat& frame : frames) {
            const auto start = Clock::now();
            cv::cvtColor(frame, work, cv::COLOR_BGR2BGRA);
            table.clear();
            evaluateMarkers(work.data, catalogue, table);
            const std::string text = outputBoxText(table, allFields());
            costs.push_back(millis(Clock::now() - start));
            if (round == 0) found.push_back(table.size());
        }
    }
    const size_t complete = static_cast<size_t>(std::count(found.begin(), found.end(), 4u));
    std::printf("%4dx%-4d  per frame: median %.3f ms, p99 %.3f ms  (%zu of %zu frames with all 4 markers)\n", width,
                height, percentile(costs, 0.5), percentile(costs, 0.99), complete, found.size());
    return complete * 10 >= found.size() * 9;
}

// Remembers when each Output text (and so each frame's table) appeared.
class TimingHost : public ServingTrackingHost {
public:
    bool previewChecked() override { return false; }
    bool showPreview(const cv::Mat&) override { return true; }
    void closePreview() override {}
    void uncheckPreview() override {}
    PatternSwitches::Snapshot patternSwitches() override { return std::make_shared<std::vector<bool>>(4, true); }
    void setOutputText(const std::string& text) override {
        std::string report;
        for (char c : text) {
            if (c != '\r') report += c;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        published_.emplace(report, Clock::now());
    }
    void reportProblem(const std::string& message) override { std::fprintf(stderr, "%s\n", message.c_str()); }
    void trackingEnded() override {}

    bool publishedAt(const std::string& report, Clock::time_point& when) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = published_.find(report);
        if (found == published_.end()) return false;
        when = found->second;
        return true;
    }

private:
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> published_;
};

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
}

// Splits the byte stream into whole reports ("Num= n" and n lines).
bool nextReport(int fd, std::string& pending, std::string& report) {
    for (;;) {
        const size_t header = pending.find('\n');
        if (header != std::string::npos) {
            const int count = std::atoi(pending.c_str() + 5);
            size_t end = header + 1;
            for (int i = 0; i < count && end != std::string::npos; ++i) {
                end = pending.find('\n', end);
                if (end != std::string::npos) ++end;
            }
            if (end != std::string::npos) {
                report = pending.substr(0, end);
                pending.erase(0, end);
                return true;
            }
        }
        char buffer[8192];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        pending.append(buffer, static_cast<size_t>(got));
    }
}

bool measureLatency(int width, int height, const Catalogue& catalogue, double seconds) {
    // The synthetic camera films at the size of Data/camera_para.dat: run
    // in a copy of Data/ whose camera is scaled to the size under test.
    namespace fs = std::filesystem;
    const fs::path home = fs::current_path();
    const fs::path scratch = fs::temp_directory_path() / ("quillmark-worker-bench-" + std::to_string(width));
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    fs::copy(home / "Data", scratch / "Data", fs::copy_options::recursive);
    const CameraParam camera = cameraFor(width, height);
    fs::current_path(scratch);
    saveCameraParam(kCameraParamPath, 1, &camera);

    resetDetector();
    setActiveDataFormat(allFields());
    AutomaticModeFlag = true;
    TimingHost host;
    TrackingJob job;
    job.catalogue = catalogue;
    CameraState state;
    if (OpenCamera(0, state, [](int) { return std::string("synthetic"); }) != 0) {
        std::fprintf(stderr, "cannot open the synthetic camera: %s\n", state.lastError.c_str());
        return false;
    }
    job.camera = &state;
    TrackingWorker worker;
    worker.start(host, job);
    while (host.port() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const int fd = connectTo(host.port());
    std::string pending, report;
    std::vector<double> latencies;
    std::set<std::string> seen;
    size_t unmatched = 0, repeats = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end && nextReport(fd, pending, report)) {
        const auto received = Clock::now();
        Clock::time_point published;
        // A report between two frames repeats the last one; only the first
        // delivery of a frame's report measures its latency.
        if (!seen.insert(report).second) {
            ++repeats;
        } else if (host.publishedAt(report, published)) {
            latencies.push_back(millis(received - published));
        } else {
            ++unmatched;
        }
    }
    close(fd);
    worker.requestStop();
    worker.join();
    fs::current_path(home);
    fs::remove_all(scratch);
    if (latencies.empty()) {
        std::printf("%4dx%-4d  no report could be matched to its frame\n", width, height);
        return false;
    }
    std::printf("%4dx%-4d  publication to client: p50 %.1f ms, p99 %.1f ms, max %.1f ms over %zu frames"
                " (%zu reports repeated a frame, %zu unmatched)\n",
                width, height, percentile(latencies, 0.5), percentile(latencies, 0.99),
                percentile(latencies, 1.0), latencies.size(), repeats, unmatched);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) std::filesystem::current_path(argv[1]);
    Catalogue catalogue;
    if (LoadPatternList(catalogue) != 0 || catalogue.size() < 4) {
        std::fprintf(stderr, "run from the source root: Data/pattern_list.txt with the demo markers is needed\n");
        return 2;
    }
    bool ok = true;
    std::printf("Worker steps per frame (conversion, detection and evaluation, Output text), one core:\n");
    ok &= measureFrameCost(640, 480, catalogue);
    ok &= measureFrameCost(1280, 720, catalogue);
    std::printf("\nFrame to Automatic-Mode client on loopback (pacing period 33 ms):\n");
    ok &= measureLatency(640, 480, catalogue, 5.0);
    ok &= measureLatency(1280, 720, catalogue, 5.0);
    return ok ? 0 : 1;
}
