#pragma once
// The tracking worker: owns the open camera while the server runs, turns
// every frame into the shared result table, shows the preview and mirrors
// the report into the Output text. The dialog and the headless mode drive
// the same worker through TrackingHost.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <opencv2/core.hpp>
#include "camera_param.h"
#include "detector_options.h"
#include "pattern_entry.h"
#include "server_state.h"

struct CameraState;

// What the worker reads and writes on its driver's side. Called on the
// worker thread: a GUI implementation must hop to its own thread (blocking
// queued calls for the reads) and never touch widgets directly.
class TrackingHost {
public:
    virtual ~TrackingHost() = default;

    // The "Show preview window" switch, read once a frame.
    virtual bool previewChecked() = 0;
    // Shows the frame with its overlay in the "Preview" window, opening it
    // when needed (the host copies the image). False when the operator has
    // closed the window by hand since it was opened.
    virtual bool showPreview(const cv::Mat& bgra) = 0;
    virtual void closePreview() = 0;
    // The operator closed the preview window by hand.
    virtual void uncheckPreview() = 0;
    // The catalogue rows' in-use check boxes, applied to the pattern table every frame.
    virtual int patternRowCount() = 0;
    virtual bool patternRowChecked(int row) = 0;
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
};

// Something that receives every processed frame (TUIO, MQTT). Called on the
// worker thread just after the frame's results are published, so it must
// return at once: an output queues the frame and sends it on its own thread.
class FrameOutput {
public:
    virtual ~FrameOutput() = default;
    virtual void publishFrame(const PublishedFrame& frame) = 0;
};

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
    // Handed every processed frame, in this order; none by default.
    std::vector<std::shared_ptr<FrameOutput>> frameOutputs;
};

// The worker body. Runs until `running` is cleared, then shuts down in order.
void TrackingLoop(TrackingHost& host, TrackingJob job, std::atomic<int>& running);

// Owns the worker thread. TrackingRunning is set before the thread starts,
// so a Stop pressed at once is never lost.
class TrackingWorker {
public:
    ~TrackingWorker();
    void start(TrackingHost& host, TrackingJob job);
    // Asks the worker to finish its frame and shut down; does not wait.
    void requestStop() { TrackingRunning = 0; }
    // Waits for the worker thread after it has ended (headless mode, tests,
    // and the dialog once trackingEnded has arrived).
    void join();
    bool exists() const { return thread_.joinable(); }

    std::atomic<int> TrackingRunning{0};

private:
    std::thread thread_;
};
