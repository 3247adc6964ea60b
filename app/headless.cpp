// quillmark --headless: the server without a dialog, for servers and robots.
// It runs the same tracking worker as the dialog, with the settings of
// Data/config.txt and the command line in place of the controls.
#include "headless.h"
// Before Qt's headers, whose keyword macros CLI11 need not meet.
#include "command_line.h"
#include <signal.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <QApplication>
#include <boost/system/system_error.hpp>
#include "camera.h"
#include "camera_param.h"
#include "catalogue.h"
#include "config.h"
#include "frame_outputs.h"
#include "frame_window.h"
#include "network.h"
#include "node_messages.h"
#include "protocol.h"
#include "body_report.h"
#include "server_host.h"
#include "server_state.h"
#include "stop_signals.h"
#include "tracking_worker.h"
#include "web_page.h"

namespace {

const char* const kConfigPath = "Data/config.txt";
// The terminal gets the Output text at most this often.
constexpr std::chrono::milliseconds kWatchInterval(250);

// The outputs the run sends to, named on standard output; the broker's
// loss and return go to standard error like every other problem.
std::vector<std::shared_ptr<FrameOutput>> startOutputs(const HeadlessOptions& options) {
    if (options.tuio.on()) std::printf("Sending TUIO to %s\n", tuioTargetText(options.tuio).c_str());
    if (options.mqtt.on())
        std::printf("Publishing MQTT to %s%s\n", mqttTargetText(options.mqtt).c_str(),
                    options.node.empty() ? "" : ("/nodes/" + options.node + " as camera node " + options.node).c_str());
    std::fflush(stdout);
    return makeFrameOutputs(options.tuio, options.mqtt, options.format, [](const std::string& notice) {
        std::fprintf(stderr, "quillmark: %s\n", notice.c_str());
    }, options.tuioVolume, options.node);
}

// "Listening on port N: " and what is served, so that a log says under
// which settings the reports it holds were made.
void printStartLine(int port, const std::string& description) {
    std::printf("Listening on port %d: %s\n", port, description.c_str());
    std::fflush(stdout);
}

// The working folder, the source, the mode and the fields.
std::string describeServing(const std::string& camera, const HeadlessOptions& options) {
    std::error_code ignored;
    return std::filesystem::current_path(ignored).string() + ", " + camera + ", " +
           (options.automatic ? "Automatic Mode" : "Command Mode") + ", fields " + formatFieldList(options.format);
}

void printStopLine() {
    uint64_t frames;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        frames = LatestStamp.frame;
    }
    std::printf("Stopped: %llu frames processed, %d clients served\n", static_cast<unsigned long long>(frames),
                Network::connectionsServed());
    std::fflush(stdout);
}

// Mode and fields for the connections to come, as the dialog's Start sets them.
void applyModeAndFields(const HeadlessOptions& options) {
    setActiveDataFormat(options.format);
    AutomaticModeFlag = options.automatic;
    setCommandIdleTimeout(options.commandIdleTimeout);
}

// The controls of the dialog, played by the options: the preview switch,
// the catalogue's in-use flags, the Output text on the terminal.
class HeadlessHost : public ServingTrackingHost {
public:
    HeadlessHost(const Catalogue& catalogue, const HeadlessOptions& options, std::string description)
        : catalogue_(catalogue), preview_(options.preview), watch_(options.watch), world_(options.world.on()),
          description_(std::move(description)) {}

    bool previewChecked() override { return preview_; }
    bool showPreview(const cv::Mat& bgra) override {
        if (!display_) display_ = std::make_unique<FrameDisplay>("Preview", nullptr);
        if (display_->ended()) return false;
        display_->show(bgra);
        return true;
    }
    void closePreview() override { display_.reset(); }
    void uncheckPreview() override { preview_ = false; }
    void setOutputText(const std::string& text) override;
    bool startServer(int port, std::string& error) override {
        if (!ServingTrackingHost::startServer(port, error)) return false;
        printStartLine(this->port(), description_);
        return true;
    }
    void reportProblem(const std::string& message) override {
        std::fprintf(stderr, "quillmark: %s\n", message.c_str());
    }
    void trackingEnded() override {
        ended = true;
        if (onEnded) onEnded();
    }

    std::atomic<bool> ended{false};
    std::function<void()> onEnded;

private:
    const Catalogue catalogue_;
    std::atomic<bool> preview_;
    const bool watch_;
    const bool world_;  // the watched text ends with the camera's world pose
    const std::string description_;  // the start line after the port
    std::unique_ptr<FrameDisplay> display_; // the worker's only
    // The worker's only: the frame rate shown with the watched text.
    long frames_ = 0;
    long framesAtLastPrint_ = 0;
    std::chrono::steady_clock::time_point lastPrint_ = std::chrono::steady_clock::now();
};

// "Camera= X,Y,Z,QW,QX,QY,QZ" (mm, camera to world) as Command Mode's
// camera reply gives it, or "Camera= unknown" before the world body is seen.
std::string cameraInWorldLine() {
    CameraInWorld camera;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        camera = LatestCamera;
    }
    if (!camera.known) return "Camera= unknown\n";
    char line[256];
    std::snprintf(line, sizeof line, "Camera= %.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f\n", camera.pose.t[0],
                  camera.pose.t[1], camera.pose.t[2], camera.quaternion[0], camera.quaternion[1],
                  camera.quaternion[2], camera.quaternion[3]);
    return line;
}

void HeadlessHost::setOutputText(const std::string& text) {
    ++frames_;
    if (!watch_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastPrint_ < kWatchInterval) return;
    const double seconds = std::chrono::duration<double>(now - lastPrint_).count();
    std::string lines;
    for (char c : text) {
        if (c != '\r') lines += c;
    }
    if (world_) lines += cameraInWorldLine();
    std::printf("-- %.1f frames/s\n%s\n", static_cast<double>(frames_ - framesAtLastPrint_) / seconds,
                lines.c_str());
    std::fflush(stdout);
    lastPrint_ = now;
    framesAtLastPrint_ = frames_;
}

// The page, when it is on; false (with the reason on standard error) when
// it cannot listen, before any client is served.
bool startPage(const HeadlessOptions& options, const Catalogue& catalogue, const std::string& camera,
               const std::vector<std::shared_ptr<FrameOutput>>& outputs, std::shared_ptr<WebOutput>& page) {
    if (!options.web.on()) return true;
    std::string error;
    page = startWebPage(options.web, options.webOption, catalogue, camera, outputs, error);
    if (!page) {
        std::fprintf(stderr, "quillmark: %s\n", error.c_str());
        return false;
    }
    std::printf("Page on %s\n", webPageAddress(options.web, page->port()).c_str());
    std::fflush(stdout);
    return true;
}

int listCameras() {
    for (const CameraSource& source : enumerateCameraSources()) {
        std::printf("%-24s %s\n", source.name.c_str(), source.description.c_str());
    }
    return 0;
}

// An empty table served to clients: the protocol without a camera.
int serveWithoutCamera(const HeadlessOptions& options, const StopSignals& stopSignals) {
    applyModeAndFields(options);
    // No frame is ever taken: frame 0, as of the moment serving began.
    publishResults({}, FrameStamp{0, wallClockSeconds()});
    Catalogue catalogue;
    if (options.web.on()) LoadPatternList(catalogue);
    std::shared_ptr<WebOutput> page;
    if (!startPage(options, catalogue, "no camera", {}, page)) return 1;
    setServerActive(true);
    Network server;
    try {
        server.start(options.port, serveClient);
    } catch (const boost::system::system_error& e) {
        setServerActive(false);
        std::fprintf(stderr, "quillmark: cannot listen on port %d: %s\n", options.port,
                     e.code().message().c_str());
        return 1;
    }
    printStartLine(server.port(), describeServing("no camera", options));
    stopSignals.waitForever();
    // Connections see ServerActive false at their next pass; then no new ones.
    setServerActive(false);
    server.stop();
    printStopLine();
    return 0;
}

std::string chooseSource(const HeadlessOptions& options, int presetIndex) {
    if (!options.camera.empty()) return options.camera;
    const std::vector<CameraSource> sources = enumerateCameraSources();
    if (presetIndex < 0 || presetIndex >= static_cast<int>(sources.size())) return "";
    return sources[static_cast<size_t>(presetIndex)].name;
}

bool hasDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
}

// Runs the worker until a stop signal or its own end. True when a signal
// stopped it; false when it ended by itself (its reason is on stderr).
bool runWorker(TrackingWorker& worker, HeadlessHost& host, TrackingJob job, const StopSignals& stopSignals,
               bool preview) {
    std::atomic<bool> signalled{false};
    auto waitForStop = [&] {
        while (!host.ended) {
            if (stopSignals.wait(std::chrono::milliseconds(200))) {
                signalled = true;
                worker.requestStop();
                return;
            }
        }
    };
    if (!preview) {
        worker.start(host, std::move(job));
        waitForStop();
        worker.join();
        return signalled;
    }
    // The preview window needs the GUI thread's event loop, which runs here
    // until the worker has shut down (and closed the window) completely.
    int argc = 1;
    char name[] = "quillmark";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    host.onEnded = [&application] { QMetaObject::invokeMethod(&application, "quit", Qt::QueuedConnection); };
    worker.start(host, std::move(job));
    std::thread waiter(waitForStop);
    application.exec();
    worker.join();
    waiter.join();
    return signalled;
}

int serveLive(const HeadlessOptions& options, const StopSignals& stopSignals) {
    if (options.preview && !hasDisplay()) {
        std::fprintf(stderr, "quillmark: --preview needs a display (DISPLAY is not set)\n");
        return 1;
    }
    TrackingJob job;
    // Refused before the camera opens: tracking cannot run without it.
    std::string cameraError;
    if (!readCameraParamFile(kCameraParamPath, job.cameraParam, cameraError)) {
        std::fprintf(stderr, "quillmark: %s; make it with quillmark calibrate\n", cameraError.c_str());
        return 1;
    }
    CameraState camera;
    if (OpenCamera(options.cameraIndex, camera, [&](int preset) { return chooseSource(options, preset); }) != 0) {
        std::fprintf(stderr, "quillmark: the camera could not be connected: %s\n", camera.lastError.c_str());
        return 1;
    }
    LoadPatternList(job.catalogue);
    job.camera = &camera;
    job.port = options.port;
    job.detectorOptions = options.detector;
    job.world = options.world;
    job.frameOutputs = startOutputs(options);
    std::shared_ptr<WebOutput> page;
    if (!startPage(options, job.catalogue, camera.source, job.frameOutputs, page)) {
        CloseCamera(camera);
        return 1;
    }
    if (page) job.frameOutputs.push_back(page);
    applyModeAndFields(options);

    const std::string source = "camera " + camera.source + " " + std::to_string(camera.FrameImage.cols) + "x" +
                               std::to_string(camera.FrameImage.rows);
    HeadlessHost host(job.catalogue, options, describeServing(source, options));
    TrackingWorker worker;
    const bool stoppedBySignal = runWorker(worker, host, std::move(job), stopSignals, options.preview);
    // Automatic-Mode connections leave within a pass; Command-Mode ones may
    // wait on a silent client and are ended by the exit itself.
    Network::waitForLiveConnections(0, 3 * PASS_INTERVAL_MS);
    printStopLine();
    return stoppedBySignal ? 0 : 1;
}

} // namespace

HeadlessOptions optionsFromSettings(const Settings& settings) {
    HeadlessOptions options;
    options.port = settings.port;
    options.automatic = settings.dataFlow == 0;
    options.format = settings.format;
    options.detector = detectorOptionsOf(settings);
    options.cameraIndex = settings.cameraSelected;
    options.preview = settings.checkPreview != 0;
    options.tuio = tuioTargetOf(settings);
    options.mqtt = mqttTargetOf(settings);
    options.tuioVolume = settings.tuioVolume;
    options.web = webOptionsOf(settings);
    options.commandIdleTimeout = settings.commandIdleTimeout;
    if (options.web.on()) options.webOption = "[HttpPort]";
    options.world = worldOptionsOf(settings);
    options.node = settings.nodeName;
    if (!options.node.empty()) options.nodeOption = "[NodeName]";
    return options;
}

namespace {

// --http over the page's keys: a port it cannot take is then named as the
// option, not as the key.
bool parseHttpOption(const std::string& text, const std::string& name, HeadlessOptions& options,
                     std::string& error) {
    if (!parseWebAddress(text, name, options.web, error)) return false;
    options.webOption = name;
    return true;
}

// Every option of the server; the dialog's controls are the settings they override.
struct HeadlessRequest {
    HeadlessOptions options;
    Overrides overrides;
};

void declareHeadlessOptions(CLI::App& app, HeadlessRequest& request) {
    HeadlessOptions& options = request.options;
    Overrides& overrides = request.overrides;
    addValueOption(app, "--port", "N", "TCP port, 0 to 65535 (0: the system picks one)",
                   [&](const std::string& text) {
                       const int port = wholeNumber("--port", text, 0, 65535);
                       overrides.add([&options, port] { options.port = port; });
                   });
    addValueOption(app, "--mode", "automatic|command", "push reports every 33 ms, or answer commands",
                   [&](const std::string& text) {
                       if (text != "automatic" && text != "command")
                           throw refusal("--mode", "is automatic or command, not \"" + text + "\"");
                       overrides.add([&options, text] { options.automatic = text == "automatic"; });
                   });
    addFieldsOption(app, overrides, options.format, "the fields of each report line");
    addValueOption(app, "--camera", "SOURCE",
                   "synthetic, v4l2:N, file:PATH or aravis[:ID];\n"
                   "synthetic:pose=X,Y,Z,RX,RY,RZ[;world=BODY][;hide=NAME+...]: placed in a world;\n"
                   "list: print the sources found; none: serve an empty table",
                   [&](const std::string& text) { overrides.add([&options, text] { options.camera = text; }); });
    app.add_flag_callback(
        "--preview", [&] { overrides.add([&options] { options.preview = true; }); },
        "show the Preview window (needs a display)");
    app.add_flag_callback(
        "--watch", [&] { overrides.add([&options] { options.watch = true; }); },
        "print the Output text a few times a second");
    // Checked here, before anything starts: a mistyped host or prefix must
    // not leave a run publishing nowhere unnoticed.
    addParsedOption(app, overrides, "--tuio", "HOST[:PORT]", "also send TUIO 1.1 over UDP (port 3333 by default)",
                    options.tuio, parseTuioTarget);
    addParsedOption(app, overrides, "--tuio-volume", "W,H,NEAR,FAR",
                    "the box of camera space, in mm, that TUIO's 3D positions\n"
                    "map into 0..1 (2000,1500,0,2000 by default)",
                    options.tuioVolume, parseTuioVolume);
    addParsedOption(app, overrides, "--mqtt", "HOST[:PORT][/PREFIX]",
                    "also publish to an MQTT broker (1883, prefix quillmark)", options.mqtt, parseMqttTarget);
    addParsedOption(app, overrides, "--http", "[HOST:]PORT",
                    "serve the operator page and WebSocket feed (host 127.0.0.1)", options, parseHttpOption);
    addParsedOption(app, overrides, "--http-image", "W[,Q]",
                    "the page's image at most W pixels wide, JPEG quality Q (640,75)", options.web, parseWebImage);
    addDetectorOptions(app, overrides, options.detector);
    addWorldOptions(app, overrides, options.world);
    addCommandTimeoutOption(app, overrides, options.commandIdleTimeout);
    addPageAllowOption(app, overrides, options.web.allowedHosts);
    addValueOption(app, "--node", "NAME",
                   "a camera node for a fusion node: publish under PREFIX/nodes/NAME/\n"
                   "with each frame's ideal corners and the camera ([NodeName]; needs --mqtt)",
                   [&](const std::string& text) {
                       if (!validTopicName(text))
                           throw refusal("--node", "needs a name of 1 to " + std::to_string(kNodeNameMax) +
                                                       " bytes without +, #, / or white space, not \"" + text + "\"");
                       overrides.add([&options, text] {
                           options.node = text;
                           options.nodeOption = "--node";
                       });
                   });
}

int runHeadless(HeadlessRequest& request) {
    Settings settings;
    // The file is optional here: without it the dialog's first-start
    // defaults apply, as they would in the dialog.
    if (std::filesystem::exists(kConfigPath)) LoadConfig(settings);
    // The dialog's preview switch is its own; headless shows a window only
    // when asked on the command line.
    settings.checkPreview = 0;
    HeadlessOptions& options = request.options;
    options = optionsFromSettings(settings);
    request.overrides.apply();
    std::string error;
    // Outputs from the settings file are checked like the command line's,
    // named by their keys.
    if (!checkTuioTarget(options.tuio, error) || !checkMqttTarget(options.mqtt, error)) {
        std::fprintf(stderr, "quillmark: %s: %s\n", kConfigPath, error.c_str());
        return 2;
    }
    if (options.camera == "list") return listCameras();
    if (!options.node.empty() && !options.mqtt.on())
        throw CLI::ValidationError(options.nodeOption + " needs --mqtt HOST[:PORT][/PREFIX] (or [MqttHost]): a node "
                                   "publishes through the broker");
    if (options.world.cameraFixed && !options.world.on())
        throw CLI::ValidationError("--camera-fixed needs a world body: --world BODY or [WorldBody]");
    // Nothing is ever framed or detected without a camera, so there is nothing to show.
    if (options.camera == "none" && (options.watch || options.preview))
        throw CLI::ValidationError(std::string(options.watch ? "--watch" : "--preview") +
                                   " needs a camera; --camera none serves an empty table");
    const StopSignals stopSignals;
    if (options.camera == "none") return serveWithoutCamera(options, stopSignals);
    return serveLive(options, stopSignals);
}

} // namespace

Command headlessCommand() {
    return {"--headless", "usage: quillmark --headless [-C DIR] [OPTION...]\n",
            "  The server without a window, on the settings of Data/config.txt; SIGINT or SIGTERM stops it.\n",
            FieldWordsNote, declaring(declareHeadlessOptions, runHeadless)};
}

Command cameraListCommand() {
    return {"--camera list", "usage: quillmark [--headless] --camera list\n", "  Print the camera sources found and end.\n",
            "", nullptr};
}
