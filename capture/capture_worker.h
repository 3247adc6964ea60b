#pragma once
// The pattern capture worker: shows the live frames in the "Pattern Capture"
// window with every detected square outlined, and when the operator presses
// the left button over one, stores it as the next numbered pattern file and
// thumbnail and appends its catalogue row through CaptureHost.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <opencv2/core.hpp>
#include "camera_param.h"
#include "detector_options.h"
#include "pattern_entry.h"
#include "squares.h"
#include "worker_thread.h"

struct CameraState;
class FrameDisplay;
class QWidget;

constexpr char CAPTURE_WINDOW[] = "Pattern Capture";

// What the worker needs from its driver. Called on the worker thread: a GUI
// implementation hops to its own thread and never touches widgets directly.
class CaptureHost {
public:
    virtual ~CaptureHost() = default;
    // The number of catalogue rows now: the next pattern's number.
    virtual int patternRowCount() = 0;
    // Appends the new pattern's row (checked, selected); 0 on success.
    virtual int addPatternRow(const PatternEntry& entry) = 0;
    // Why the capture ended early (no usable camera record, say), after its
    // window has gone. What happens while it runs (a refused or doubtful
    // capture) is shown in the window itself, never in a box of the host's.
    virtual void reportProblem(const std::string& message) = 0;
    // The worker's very last call: the buttons can be enabled again.
    virtual void captureEnded() = 0;
};

struct CaptureJob {
    CameraState* camera = nullptr; // opened by the caller; closed by the worker
    // Read from "Data/camera_para.dat" by the caller before the camera was
    // opened, so a missing file refuses the start and nothing unread is installed.
    CameraParam cameraParam;
    double defaultWidthMm = 0.0; // width of every new pattern
    // The window the "Pattern Capture" window belongs to (see FrameDisplay);
    // none for a window of its own.
    QWidget* windowOwner = nullptr;
    DetectorOptions detectorOptions; // installed into the detector at start
};

// The mouse as the window's callback last reported it. Written on the GUI
// thread by highgui, read once a frame by the worker.
struct CaptureMouse {
    std::atomic<int> x{0};
    std::atomic<int> y{0};
    std::atomic<bool> left{false};
    std::atomic<bool> right{false};
    std::atomic<bool> middle{false};
    // Left-button presses so far. A quick click (down and up within one
    // frame, as a tap or a fast finger gives) leaves the flag as it was, so
    // the worker counts presses instead of sampling the flag.
    std::atomic<unsigned> leftPresses{0};

    // One highgui mouse event (cv::MouseEventTypes codes; x, y in image pixels).
    void onEvent(int event, int eventX, int eventY);
};

// Index of the marker whose vertex bounding box holds (x, y), the last one
// when several do, or -1. The box's bottom row is outside, its right column inside.
int selectMarkerAt(const MarkerInfo* markers, int count, int x, int y);

// Outlines every marker 2 px wide, red for `selected` and yellow for the
// others, with a stroke from the centre through the middle of the edge
// from vertex 2 to vertex 3: the edge that becomes the pattern's top.
void drawCaptureOutlines(cv::Mat& image, const MarkerInfo* markers, int count, int selected);

// The names a capture gives pattern number n.
std::string capturedPatternName(int n);   // "P%03d"
std::string capturedPatternFile(int n);   // "%03d.patt"
std::string capturedThumbnailFile(int n); // "%03d.jpg"

// Owns the worker thread (WorkerThread). Esc in the window, closing the
// window, or requestStop ends the loop; join waits once captureEnded has arrived.
class CaptureWorker {
public:
    void start(CaptureHost& host, CaptureJob job);
    void requestStop() { thread_.requestStop(); }
    void join() { thread_.join(); }
    bool exists() const { return thread_.exists(); }

    // Frames processed so far, and the squares of the latest one: lets an
    // observer aim the mouse and wait for the worker to have seen it.
    long frameCount() const { return frames_; }
    std::vector<MarkerInfo> latestMarkers() const;
    // Every notice shown in the window during this run, in order.
    std::vector<std::string> notices() const;

    CaptureMouse mouse;
    std::atomic<int> CaptureRunning{0};

private:
    void run(CaptureHost& host, CaptureJob job);
    // Over the picture, and on standard output for a log.
    void notify(FrameDisplay& display, const std::string& text);
    void captureMarker(CaptureHost& host, FrameDisplay& display, const CaptureJob& job, const MarkerInfo& marker,
                       const cv::Mat& workImage, cv::Mat& thumbnail);
    void publishFrame(const MarkerInfo* markers, int count);

    std::atomic<long> frames_{0};
    mutable std::mutex latestLock_;
    std::vector<MarkerInfo> latest_;
    std::vector<std::string> notices_; // guarded by latestLock_
    WorkerThread thread_{CaptureRunning}; // last: ends before what it uses
};
