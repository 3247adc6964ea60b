#pragma once
// aravis[:ID] — GenICam cameras (USB3 Vision, GigE Vision) through Aravis.
// Exposed beyond camera.cpp's registry for what the generic layer does not
// wrap: camera features and the pixel conversion.
#include <arv.h>
#include <string>
#include <opencv2/core.hpp>
#include "camera.h"

class AravisCamera : public CameraBackend {
public:
    // Takes ownership of `camera`; `sourceName` names it in messages.
    AravisCamera(ArvCamera* camera, std::string sourceName);
    ~AravisCamera() override;
    AravisCamera(const AravisCamera&) = delete;
    AravisCamera& operator=(const AravisCamera&) = delete;

    bool start(std::string& error) override;
    GrabStatus grab(cv::Mat& bgr, int timeoutMs, std::string& error) override;

    // For GenICam features (exposure, gain, trigger) the layer does not wrap.
    ArvCamera* camera() const { return camera_; }

private:
    void stopStream();

    ArvCamera* camera_;
    std::string spec_;
    ArvStream* stream_ = nullptr;
    bool acquiring_ = false;
};

// Whether convertGenicamFrame handles the pixel format.
bool isConvertibleGenicamFormat(ArvPixelFormat format);

// One frame of `format` (rows `strideBytes` apart) as 8-bit BGR. False for a
// format it does not handle.
bool convertGenicamFrame(const void* data, int width, int height, size_t strideBytes, ArvPixelFormat format,
                         cv::Mat& bgr);
