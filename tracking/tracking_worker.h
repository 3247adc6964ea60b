#pragma once
// The tracking worker: owns the open camera while the server runs, turns
// every frame into the shared result table, shows the preview and mirrors
// the report into the Output text. The dialog and the headless mode drive
// the same worker through TrackingHost.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <opencv2/core.hpp>
#include "body_pose.h"
#include "camera_param.h"
#include "detector_options.h"
#include "pattern_entry.h"
#include "server_state.h"
#include "worker_thread.h"
#include "world_frame.h"

struct CameraState;

// The catalogue rows' in-use switches as the driver last set them. The
// driver's thread replaces the whole list when a switch or a row changes;
// the worker takes the latest list once a frame, and never waits for the
// driver to do so.
class PatternSwitches {
public:
    using Snapshot = std::shared_ptr<const std::vector<bool>>;
    void replace(std::vector<bool> inUse) {
        std::atomic_store(&latest_, std::make_shared<const std::vector<bool>>(std::move(inUse)));
    }
    Snapshot latest() const { return std::atomic_load(&latest_); }

private:
    Snapshot latest_ = std::make_shared<const std::vector<bool>>();
};

// What the worker reads and writes on its driver's side. Called on the
// worker thread: a GUI implementation must hop to its own thread (blocking
// queued calls for the reads) and never touch widgets directly.
class TrackingHost {
public:
    virtual ~TrackingHost() = default;

    // The "Show preview window" switch, read once a frame; must answer
    // without waiting for the driver's thread.
    virtual bool previewChecked() = 0;
    // Shows the frame with its overlay in the "Preview" window, opening it
    // when needed (the host copies the image). False when the operator has
    // closed the window by hand since it was opened.
    virtual bool showPreview(const cv::Mat& bgra) = 0;
    virtual void closePreview() = 0;
    // The operator closed the preview window by hand.
    virtual void uncheckPreview() = 0;
    // The catalogue rows' in-use check boxes, applied to the pattern table
    // every frame (row i is pattern id i). Null keeps the catalogue's own
    // in-use flags.
    virtual PatternSwitches::Snapshot patternSwitches() { return nullptr; }
    // The Output text of the latest frame ("\r\n" line ends).
    virtual void setOutputText(const std::string& text) = 0;
    // Starts the client server once the detector is ready; false with a
    // message the operator can act on when it cannot listen.
    virtual bool startServer(int port, std::string& error) = 0;
    virtual void stopServer() = 0;
    // Something the operator should know that does not end the worker by
    // itself (a camera that stopped delivering frames, say), or the reason
    // the worker ended early. Shown as a message, not a modal question.
    virtual void reportProblem(const std::string& message) = 0;
    // The worker's very last call: the controls can be enabled again.
    virtual void trackingEnded() = 0;
};

// One processed frame as it leaves for the outputs beside the TCP server.
struct PublishedFrame {
    ResultTable results;
    FrameStamp stamp;
    int width = 0;  // frame size in pixels
    int height = 0;
    // The frame as grabbed (BGR, without overlay), valid only during
    // publishFrame: an output that keeps it copies it.
    cv::Mat image{};
    // The bodies with a pose in this frame and the camera's world pose;
    // empty and unknown without a bodies file.
    BodyTable bodies{};
    CameraInWorld camera{};
    bool bodiesTracked = false;  // a bodies file was read: bodies are served
    bool worldFrame = false;     // a world body is set: the camera's pose is served
    CameraParam lens{};          // the detector's intrinsics at the frame's size
};

// Something that receives every processed frame (TUIO, MQTT). Called on the
// worker thread just after the frame's results are published, so it must
// return at once: an output queues the frame and sends it on its own thread.
class FrameOutput {
public:
    virtual ~FrameOutput() = default;
    virtual void publishFrame(const PublishedFrame& frame) = 0;
};

using FrameOutputs = std::vector<std::shared_ptr<FrameOutput>>;

struct TrackingJob {
    CameraState* camera = nullptr; // opened by the caller; closed by the worker
    Catalogue catalogue;           // row i is pattern id i
    int port = 0;
    // The stored record, when the caller has read it already (so that a
    // missing file refuses the start before anything runs); otherwise the
    // worker reads Data/camera_para.dat itself.
    CameraParam cameraParam;
    // Installed into the detector before the first frame.
    DetectorOptions detectorOptions;
    // The world frame (--world, --camera-fixed); needs a body of
    // Data/body_list.txt, which the worker reads at set-up when it is there.
    WorldOptions world;
    // Handed every processed frame, in this order; none by default.
    FrameOutputs frameOutputs;
    // More outputs, made on the worker thread at set-up before the server
    // starts (a host lookup or a broker connect may take seconds). False,
    // with the reason in `error`, ends the run.
    std::function<bool(FrameOutputs& outputs, std::string& error)> openFrameOutputs;
};

// The worker body. Runs until `running` is cleared, then shuts down in order.
void TrackingLoop(TrackingHost& host, TrackingJob job, std::atomic<int>& running);

// Owns the worker thread (WorkerThread). Stop asks the worker to finish
// its frame and shut down; join waits for it after it has ended (headless
// mode, tests, and the dialog once trackingEnded has arrived).
class TrackingWorker {
public:
    void start(TrackingHost& host, TrackingJob job) {
        thread_.start([this, &host, job = std::move(job)]() mutable {
            TrackingLoop(host, std::move(job), TrackingRunning);
        });
    }
    void requestStop() { thread_.requestStop(); }
    void join() { thread_.join(); }
    bool exists() const { return thread_.exists(); }

    std::atomic<int> TrackingRunning{0};

private:
    WorkerThread thread_{TrackingRunning}; // last: ends before the flag goes
};
