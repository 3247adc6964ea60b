#include "camera.h"
#include <opencv2/imgproc.hpp>

// The registry: each kind lives in its own camera_<kind>.cpp.
const CameraBackendKind& v4l2CameraKind();
const CameraBackendKind& fileCameraKind();
const CameraBackendKind& aravisCameraKind();
const CameraBackendKind& syntheticCameraKind();

const std::vector<const CameraBackendKind*>& cameraBackendKinds() {
    static const std::vector<const CameraBackendKind*> kinds = {
        &syntheticCameraKind(),
        &v4l2CameraKind(),
        &fileCameraKind(),
        &aravisCameraKind(),
    };
    return kinds;
}

std::vector<CameraSource> enumerateCameraSources() {
    std::vector<CameraSource> sources;
    for (const CameraBackendKind* kind : cameraBackendKinds()) {
        std::vector<CameraSource> found = kind->enumerate();
        sources.insert(sources.end(), found.begin(), found.end());
    }
    return sources;
}

std::unique_ptr<CameraBackend> createCameraBackend(const std::string& sourceName, std::string& error) {
    for (const CameraBackendKind* kind : cameraBackendKinds()) {
        if (kind->accepts(sourceName)) return kind->create(sourceName, error);
    }
    std::string known;
    for (const CameraBackendKind* kind : cameraBackendKinds()) {
        known += known.empty() ? "" : ", ";
        known += kind->syntax;
    }
    error = "unknown camera source \"" + sourceName + "\" (known: " + known + ")";
    return nullptr;
}

int OpenCamera(int cameraIndex, CameraState& state, const CameraChooser& chooser) {
    if (state.backend) {
        state.lastError = "camera " + state.source + " is already open";
        return -1;
    }
    const std::string sourceName = chooser ? chooser(cameraIndex) : std::string();
    if (sourceName.empty()) {
        state.lastError = "no camera was chosen";
        return -1;
    }
    std::string error;
    std::unique_ptr<CameraBackend> backend = createCameraBackend(sourceName, error);
    if (!backend || !backend->start(error)) {
        state.lastError = error;
        return -1;
    }
    cv::Mat first;
    if (backend->grab(first, state.grabTimeoutMs, error) != GrabStatus::Ok) {
        state.lastError = sourceName + ": " + error;
        return -1;
    }
    state.FrameImage = first;
    state.source = sourceName;
    state.backend = std::move(backend);
    state.lastError.clear();
    return 0;
}

GrabStatus GrabFrame(CameraState& state) {
    if (!state.backend) {
        state.lastError = "no camera is open";
        return GrabStatus::Failed;
    }
    // Backends write in place when the size matches, so FrameImage keeps its
    // buffer; a grab that would change the size goes through a scratch image.
    const cv::Size size = state.FrameImage.size();
    cv::Mat target = state.FrameImage;
    std::string error;
    const GrabStatus status = state.backend->grab(target, state.grabTimeoutMs, error);
    state.captureTime = status == GrabStatus::Ok ? state.backend->captureTime() : 0.0;
    if (status != GrabStatus::Ok) {
        state.lastError = state.source + ": " + error;
        return status;
    }
    if (target.data != state.FrameImage.data) {
        cv::resize(target, state.FrameImage, size, 0, 0, cv::INTER_AREA);
    }
    state.lastError.clear();
    return GrabStatus::Ok;
}

void CloseCamera(CameraState& state) {
    state.FrameImage.release();
    state.backend.reset();
    state.source.clear();
}
