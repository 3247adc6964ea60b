#include "tracking_worker.h"
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include "bodies.h"
#include "body_report.h"
#include "camera.h"
#include "camera_param.h"
#include "catalogue_patterns.h"
#include "detector_state.h"
#include "evaluate.h"
#include "overlay.h"
#include "pattern.h"
#include "report.h"
#include "server_state.h"

namespace {

// Loads the stored record unless the caller already did, then installs it
// scaled to the camera's frames. A record that was not read whole is never
// scaled, and one the detector refuses ends the run: detection would go on
// with the previous run's record (or none) while the server reports as running.
bool installCameraParam(const CameraParam& given, int width, int height, std::string& error) {
    CameraParam stored = given;
    if (stored.xsize <= 0) {
        if (!readCameraParamFile(kCameraParamPath, stored, error)) {
            error += ": tracking needs the camera parameters.";
            return false;
        }
    } else if (const std::string problem = cameraParamProblem(stored); !problem.empty()) {
        error = std::string(kCameraParamPath) + " holds no usable camera: " + problem + ": tracking stopped.";
        return false;
    }
    CameraParam scaled;
    const bool scaledWell = stored.ysize > 0 && scaleCameraParam(stored, width, height, scaled) == 0;
    if (scaledWell) printCameraParam(scaled);
    if (!scaledWell || setWorkingCameraParam(scaled) != 0) {
        error = std::string(kCameraParamPath) + " (" + std::to_string(stored.xsize) + " x " +
                std::to_string(stored.ysize) + ") cannot be installed for the camera's " + std::to_string(width) +
                " x " + std::to_string(height) + " frames: tracking stopped.";
        return false;
    }
    return true;
}

// The per-frame state the worker keeps between frames.
struct Session {
    TrackingHost& host;
    TrackingJob& job;
    cv::Mat workImage; // BGRA copy that detection reads and the preview draws on
    bool previewOpen = false;
    bool stalled = false;
    uint64_t frames = 0;
    std::vector<Body> bodies;           // from Data/body_list.txt; none without it
    std::unique_ptr<WorldFrame> world;  // with a world body only
};

// The bodies file, when there is one: its refusals are said and the run
// goes on with what was read. False when the world body is not among the
// bodies that can be tracked.
bool loadBodies(Session& s, std::string& error) {
    BodyList list;
    const bool present = readBodyList(kBodyListPath, s.job.catalogue, list);
    if (!list.refusals.empty()) {
        std::string text;
        for (const std::string& refusal : list.refusals) {
            std::printf("%s\n", refusal.c_str());
            text += (text.empty() ? "" : "\n") + refusal;
        }
        std::fflush(stdout);
        s.host.reportProblem(text);
    }
    s.bodies = list.bodies;
    BodiesServed = present;
    if (!s.job.world.on()) return true;
    for (const Body& body : s.bodies)
        if (body.name == s.job.world.body && body.tracked()) {
            s.world = std::make_unique<WorldFrame>(s.job.world);
            return true;
        }
    error = "the world body " + s.job.world.body + " is not a tracked body of " + kBodyListPath +
            (present ? "" : " (there is no such file)") + ": tracking stopped.";
    return false;
}

// The bodies' poses and the world frame from the frame's markers; under the
// table's lock, so that a reader gets markers and bodies of one frame. The
// last frame's poses keep a body with one member left in view from
// flipping to that square's mirror pose.
void fitFrameBodies(Session& s) {
    if (s.bodies.empty()) return;
    LatestBodies = fitBodies(s.bodies, LatestResults, detectorState().camera.param, &LatestBodies);
    if (s.world) {
        s.world->update(LatestBodies, LatestResults);
        LatestCamera = s.world->camera();
    }
}

// Closes the preview when its switch is off; true when it is to be shown.
bool followPreviewSwitch(Session& s) {
    const bool wanted = s.host.previewChecked();
    if (!wanted && s.previewOpen) {
        s.host.closePreview();
        s.previewOpen = false;
    }
    return wanted;
}

void applyPatternSwitches(Session& s) {
    const PatternSwitches::Snapshot switches = s.host.patternSwitches();
    const int rows = switches ? static_cast<int>(switches->size()) : static_cast<int>(s.job.catalogue.size());
    for (int row = 0; row < rows; ++row) {
        if (switches ? (*switches)[row] : s.job.catalogue[row].inUse) {
            activatePattern(row);
        } else {
            deactivatePattern(row);
        }
    }
}

// A stalled source is reported once when it stops and once when it is back;
// the loop goes on either way, so Stop is always noticed.
void noteGrab(Session& s, GrabStatus status) {
    if (status == GrabStatus::Ok) {
        if (s.stalled) s.host.reportProblem("The camera delivers frames again.");
        s.stalled = false;
        return;
    }
    if (!s.stalled) {
        s.host.reportProblem("The camera delivers no frames: " + s.job.camera->lastError +
                             "\nTracking goes on with the last frame until Stop.");
    }
    s.stalled = true;
}

void processFrame(Session& s) {
    const bool preview = followPreviewSwitch(s);
    applyPatternSwitches(s);
    noteGrab(s, GrabFrame(*s.job.camera));
    const double captured = s.job.camera->captureTime;
    const FrameStamp stamp{++s.frames, captured > 0.0 ? captured : wallClockSeconds()};
    {
        std::lock_guard<std::mutex> lock(ResultTableLock);
        LatestStamp = stamp;
        cv::cvtColor(s.job.camera->FrameImage, s.workImage, cv::COLOR_BGR2BGRA);
        LatestResults.clear();
        evaluateMarkers(s.workImage.data, s.job.catalogue, LatestResults);
        fitFrameBodies(s);
        if (preview) {
            for (const MarkerResult& result : LatestResults) drawMarkerOverlay(s.workImage, result);
        }
    }
    if (preview) {
        s.previewOpen = true;
        // Closed with its close box: the switch follows, and the window is
        // dropped at once, so a switch turned on again before the next frame
        // opens a new one instead of finding the closed one again.
        if (!s.host.showPreview(s.workImage)) {
            s.host.uncheckPreview();
            s.host.closePreview();
            s.previewOpen = false;
        }
    }
    std::string output;
    PublishedFrame published;
    {
        std::lock_guard<std::mutex> lock(ResultTableLock);
        output = outputBoxText(LatestResults, activeDataFormat(), LatestStamp);
        if (!s.job.frameOutputs.empty())
            published = PublishedFrame{LatestResults, stamp, s.workImage.cols, s.workImage.rows,
                                       s.job.camera->FrameImage, LatestBodies, LatestCamera, BodiesServed.load(),
                                       s.world != nullptr, detectorState().camera.param};
    }
    for (const auto& frameOutput : s.job.frameOutputs) frameOutput->publishFrame(published);
    // Handed over after the lock is released: a GUI host hops threads here,
    // and clients must not wait for that.
    s.host.setOutputText(output);
}

// Everything before the first frame. False when tracking cannot run; the
// reason has been reported.
bool setUp(Session& s, std::atomic<int>& running) {
    CameraState& camera = *s.job.camera;
    GrabFrame(camera);
    GrabFrame(camera);
    s.workImage.create(camera.FrameImage.rows, camera.FrameImage.cols, CV_8UC4);
    LoadCataloguePatterns(s.job.catalogue);
    detectorState().options = s.job.detectorOptions;
    std::string error;
    if (!installCameraParam(s.job.cameraParam, camera.FrameImage.cols, camera.FrameImage.rows, error)) {
        s.host.reportProblem(error);
        return false;
    }
    if (!loadBodies(s, error)) {
        s.host.reportProblem(error);
        return false;
    }
    if (s.job.openFrameOutputs) {
        FrameOutputs opened;
        if (!s.job.openFrameOutputs(opened, error)) {
            s.host.reportProblem(error);
            return false;
        }
        s.job.frameOutputs.insert(s.job.frameOutputs.end(), opened.begin(), opened.end());
    }
    // Stop pressed during set-up: nothing is served at all.
    if (!running) return false;
    // The last run's markers and stamp are not this run's: until the first
    // frame, clients get an empty report of frame 0.
    publishResults({}, FrameStamp{});
    {
        std::lock_guard<std::mutex> lock(ResultTableLock);
        LatestBodies.clear();
        LatestCamera = CameraInWorld{};
    }
    if (!s.host.startServer(s.job.port, error)) {
        s.host.reportProblem(error);
        return false;
    }
    return true;
}

void shutDown(Session& s, bool serverStarted) {
    if (s.previewOpen) s.host.closePreview();
    s.workImage.release();
    CloseCamera(*s.job.camera);
    for (int id = 0; id < static_cast<int>(s.job.catalogue.size()); ++id) freePattern(id);
    // Connections see ServerActive false and leave before the server stops.
    setServerActive(false);
    if (serverStarted) s.host.stopServer();
}

} // namespace

void TrackingLoop(TrackingHost& host, TrackingJob job, std::atomic<int>& running) {
    Session session{host, job, {}, false, false, 0, {}, nullptr};
    bool serverStarted = false;
    try {
        setServerActive(true);
        serverStarted = setUp(session, running);
        while (serverStarted && running) processFrame(session);
    } catch (const std::exception& e) {
        host.reportProblem(std::string("Tracking stopped: ") + e.what());
    }
    shutDown(session, serverStarted);
    host.trackingEnded();
}
