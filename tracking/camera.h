#pragma once
// The system's only contact with cameras. A source is named by a string
// ("v4l2:0", "file:clip.avi", "aravis:Fake_1", "synthetic"); each kind of
// source is one backend behind CameraBackend, listed in the registry of
// camera.cpp. The rest of the system sees three operations on a CameraState:
// OpenCamera, GrabFrame and CloseCamera.
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <opencv2/core.hpp>

enum class GrabStatus {
    Ok,       // a new frame is in the image
    Timeout,  // the source delivered nothing in time; the image is unchanged
    Failed,   // the source reported an error; the image is unchanged
};

// One open, streaming source. Construction binds the source (the backend's
// factory), start() makes it stream, destruction stops streaming and
// releases everything it holds, threads included.
class CameraBackend {
public:
    virtual ~CameraBackend() = default;
    // false with a message a user can act on.
    virtual bool start(std::string& error) = 0;
    // Waits up to timeoutMs for the next frame and writes it as 8-bit BGR
    // into `bgr` (reallocated only when its size or type differ). On Timeout
    // and Failed `bgr` is untouched and `error` says why.
    virtual GrabStatus grab(cv::Mat& bgr, int timeoutMs, std::string& error) = 0;
    // When the frame of the latest Ok grab was taken, in seconds since 1970,
    // for a source that knows it better than the moment it is handed over;
    // 0: the worker stamps the frame with the time it takes it.
    virtual double captureTime() const { return 0.0; }
};

// A source that can be offered to the operator.
struct CameraSource {
    std::string name;         // what OpenCamera and --camera accept
    std::string description;  // for people: model, device, serial number
};

// One kind of source in the registry.
struct CameraBackendKind {
    const char* syntax;  // how its names look, e.g. "v4l2:N"; used in messages
    bool (*accepts)(const std::string& sourceName);
    // The sources of this kind present now (empty for kinds that cannot be
    // discovered, such as files).
    std::vector<CameraSource> (*enumerate)();
    // Binds the source; null with `error` set when it cannot.
    std::unique_ptr<CameraBackend> (*create)(const std::string& sourceName, std::string& error);
};

// Every registered kind, in the order they are listed to the operator.
const std::vector<const CameraBackendKind*>& cameraBackendKinds();

// Every source found now, kind by kind.
std::vector<CameraSource> enumerateCameraSources();

// Binds the source that `sourceName` names, without starting it; null with
// `error` set for an unknown name or a source that cannot be bound.
std::unique_ptr<CameraBackend> createCameraBackend(const std::string& sourceName, std::string& error);

// Long enough for any camera at a sane frame rate, short enough that a
// stalled source cannot keep the worker from noticing Stop.
constexpr int DefaultGrabTimeoutMs = 3000;

struct CameraState {
    // 8-bit BGR, sized to the camera's frames at opening and kept at that
    // size for as long as the camera is open; empty when closed.
    cv::Mat FrameImage;
    // Why the latest operation failed; empty after one that succeeded.
    std::string lastError;
    // Name of the open source; empty when closed.
    std::string source;
    int grabTimeoutMs = DefaultGrabTimeoutMs;
    // The source's capture time of the frame in FrameImage (CameraBackend::
    // captureTime), 0 when it gives none or the latest grab failed.
    double captureTime = 0.0;
    std::unique_ptr<CameraBackend> backend;
};

// The selection step: given the preset index (the Camera ID box), returns
// the name of the chosen source, or an empty string when none was chosen
// (the operator cancelled). The dialog shows a modal list, the headless mode
// answers with its --camera option, tests answer directly.
using CameraChooser = std::function<std::string(int presetIndex)>;

// Chooses, binds, starts, grabs one frame and sizes FrameImage to it.
// 0 on success; -1 with lastError set otherwise, and then nothing is left
// open. A camera already open in `state` is refused.
int OpenCamera(int cameraIndex, CameraState& state, const CameraChooser& chooser);

// Waits for the next frame and puts it into FrameImage. A frame of another
// size than at opening is scaled to FrameImage's size, so readers can rely
// on its size and buffer for the whole session.
GrabStatus GrabFrame(CameraState& state);

// Stops the source and releases FrameImage and the backend; safe on a
// closed state.
void CloseCamera(CameraState& state);
