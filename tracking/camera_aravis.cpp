#include "camera_aravis.h"
#include <algorithm>
#include <cstdio>
#include <opencv2/imgproc.hpp>

static const std::string Kind = "aravis";

// Enough buffers that a frame can arrive while the worker converts the last
// one, few enough that a slow worker never reads a stale frame for long.
static constexpr int StreamBuffers = 4;

// Aravis's simulated camera lives on an interface that is off by default;
// naming one of its devices turns it on, so "aravis:Fake_1" works anywhere.
static const std::string FakeDevicePrefix = "Fake_";

static std::string takeMessage(GError*& err) {
    std::string message = err ? err->message : "unknown error";
    g_clear_error(&err);
    return message;
}

namespace {

// How each 8-bit format we take becomes BGR: its OpenCV type and colour
// conversion (-1: copied as it is). The Bayer names are OpenCV's aliases
// spelled like GenICam's: the colours of the first row's first two pixels,
// then the second row's.
struct EightBitFormat {
    ArvPixelFormat format;
    int type;
    int conversion;
};
const EightBitFormat kEightBitFormats[] = {
    {ARV_PIXEL_FORMAT_MONO_8, CV_8UC1, cv::COLOR_GRAY2BGR},
    {ARV_PIXEL_FORMAT_BAYER_RG_8, CV_8UC1, cv::COLOR_BayerRGGB2BGR},
    {ARV_PIXEL_FORMAT_BAYER_GR_8, CV_8UC1, cv::COLOR_BayerGRBG2BGR},
    {ARV_PIXEL_FORMAT_BAYER_GB_8, CV_8UC1, cv::COLOR_BayerGBRG2BGR},
    {ARV_PIXEL_FORMAT_BAYER_BG_8, CV_8UC1, cv::COLOR_BayerBGGR2BGR},
    {ARV_PIXEL_FORMAT_RGB_8_PACKED, CV_8UC3, cv::COLOR_RGB2BGR},
    {ARV_PIXEL_FORMAT_BGR_8_PACKED, CV_8UC3, -1},
};

const EightBitFormat* eightBitFormat(ArvPixelFormat format) {
    for (const EightBitFormat& f : kEightBitFormats)
        if (f.format == format) return &f;
    return nullptr;
}

} // namespace

bool isConvertibleGenicamFormat(ArvPixelFormat format) {
    return format == ARV_PIXEL_FORMAT_MONO_16 || eightBitFormat(format);
}

bool convertGenicamFrame(const void* data, int width, int height, size_t strideBytes, ArvPixelFormat format,
                         cv::Mat& bgr) {
    void* pixels = const_cast<void*>(data);  // wrapped read-only below
    if (format == ARV_PIXEL_FORMAT_MONO_16) {
        cv::Mat eight;
        cv::Mat(height, width, CV_16UC1, pixels, strideBytes).convertTo(eight, CV_8U, 1.0 / 256.0);
        cv::cvtColor(eight, bgr, cv::COLOR_GRAY2BGR);
        return true;
    }
    const EightBitFormat* f = eightBitFormat(format);
    if (!f) return false;
    const cv::Mat frame(height, width, f->type, pixels, strideBytes);
    if (f->conversion < 0) {
        frame.copyTo(bgr);
    } else {
        cv::cvtColor(frame, bgr, f->conversion);
    }
    return true;
}

// Leaves the camera in a format we convert: its current one when possible,
// otherwise the first it offers of colour, then Bayer, then grey.
static bool choosePixelFormat(ArvCamera* camera, std::string& error) {
    GError* err = nullptr;
    const ArvPixelFormat current = arv_camera_get_pixel_format(camera, &err);
    if (err) {
        error = "cannot read the pixel format: " + takeMessage(err);
        return false;
    }
    if (isConvertibleGenicamFormat(current)) return true;
    guint count = 0;
    gint64* offered = arv_camera_dup_available_pixel_formats(camera, &count, &err);
    g_clear_error(&err);
    static const ArvPixelFormat preferred[] = {
        ARV_PIXEL_FORMAT_BGR_8_PACKED, ARV_PIXEL_FORMAT_RGB_8_PACKED, ARV_PIXEL_FORMAT_BAYER_RG_8,
        ARV_PIXEL_FORMAT_BAYER_GR_8,   ARV_PIXEL_FORMAT_BAYER_GB_8,   ARV_PIXEL_FORMAT_BAYER_BG_8,
        ARV_PIXEL_FORMAT_MONO_8,       ARV_PIXEL_FORMAT_MONO_16,
    };
    bool chosen = false;
    for (ArvPixelFormat format : preferred) {
        for (guint i = 0; i < count && !chosen; ++i) {
            if (static_cast<ArvPixelFormat>(offered[i]) != format) continue;
            arv_camera_set_pixel_format(camera, format, &err);
            if (err) g_clear_error(&err);
            else chosen = true;
        }
        if (chosen) break;
    }
    g_free(offered);
    if (!chosen) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(current));
        error = std::string("the camera offers no pixel format we convert (it uses ") + hex +
                "; Mono8, Mono16, Bayer 8-bit, RGB8 and BGR8 are known)";
    }
    return chosen;
}

AravisCamera::AravisCamera(ArvCamera* camera, std::string sourceName) : camera_(camera), spec_(std::move(sourceName)) {}

AravisCamera::~AravisCamera() {
    stopStream();
    g_clear_object(&camera_);
}

void AravisCamera::stopStream() {
    if (acquiring_) {
        GError* err = nullptr;
        arv_camera_stop_acquisition(camera_, &err);
        g_clear_error(&err);
        acquiring_ = false;
    }
    // The last reference ends the stream's receiving thread and frees its buffers.
    g_clear_object(&stream_);
}

bool AravisCamera::start(std::string& error) {
    GError* err = nullptr;
    const guint payload = arv_camera_get_payload(camera_, &err);
    if (!err) arv_camera_set_acquisition_mode(camera_, ARV_ACQUISITION_MODE_CONTINUOUS, &err);
    if (!err) stream_ = arv_camera_create_stream(camera_, nullptr, nullptr, &err);
    if (err || !stream_) {
        error = spec_ + ": cannot set up streaming: " + takeMessage(err);
        stopStream();
        return false;
    }
    for (int i = 0; i < StreamBuffers; ++i) arv_stream_push_buffer(stream_, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(camera_, &err);
    if (err) {
        error = spec_ + ": cannot start acquisition: " + takeMessage(err);
        stopStream();
        return false;
    }
    acquiring_ = true;
    return true;
}

GrabStatus AravisCamera::grab(cv::Mat& bgr, int timeoutMs, std::string& error) {
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream_, static_cast<guint64>(timeoutMs) * 1000);
    if (!buffer) {
        error = "no frame within " + std::to_string(timeoutMs) + " ms";
        return GrabStatus::Timeout;
    }
    // Frames that queued up while the worker was busy are stale; report the
    // newest complete one, as a camera's "latest image" would.
    while (ArvBuffer* newer = arv_stream_try_pop_buffer(stream_)) {
        if (arv_buffer_get_status(newer) == ARV_BUFFER_STATUS_SUCCESS) std::swap(buffer, newer);
        arv_stream_push_buffer(stream_, newer);
    }
    GrabStatus status = GrabStatus::Ok;
    if (arv_buffer_get_status(buffer) != ARV_BUFFER_STATUS_SUCCESS) {
        error = "incomplete frame (buffer status " + std::to_string(arv_buffer_get_status(buffer)) + ")";
        status = GrabStatus::Failed;
    } else {
        size_t size = 0;
        const void* data = arv_buffer_get_image_data(buffer, &size);
        const int width = arv_buffer_get_image_width(buffer);
        const int height = arv_buffer_get_image_height(buffer);
        const ArvPixelFormat format = arv_buffer_get_image_pixel_format(buffer);
        gint paddingX = 0, paddingY = 0;
        arv_buffer_get_image_padding(buffer, &paddingX, &paddingY);
        const size_t stride = static_cast<size_t>(width) * (ARV_PIXEL_FORMAT_BIT_PER_PIXEL(format) / 8) +
                              static_cast<size_t>(std::max(paddingX, 0));
        // Never trust the header to match the bytes that arrived.
        if (!data || width <= 0 || height <= 0 || size < stride * static_cast<size_t>(height)) {
            error = "frame header does not match its data";
            status = GrabStatus::Failed;
        } else if (!convertGenicamFrame(data, width, height, stride, format, bgr)) {
            error = "pixel format changed to one we do not convert";
            status = GrabStatus::Failed;
        }
    }
    arv_stream_push_buffer(stream_, buffer);
    return status;
}

static std::string deviceId(const std::string& sourceName) {
    return sourceName.size() > Kind.size() ? sourceName.substr(Kind.size() + 1) : "";
}

static std::vector<CameraSource> enumerateAravis() {
    arv_update_device_list();
    std::vector<CameraSource> sources;
    const unsigned count = arv_get_n_devices();
    for (unsigned i = 0; i < count; ++i) {
        auto text = [](const char* s) { return std::string(s ? s : "?"); };
        sources.push_back({Kind + ":" + text(arv_get_device_id(i)),
                           text(arv_get_device_vendor(i)) + " " + text(arv_get_device_model(i)) + ", serial " +
                               text(arv_get_device_serial_nbr(i)) + " (" + text(arv_get_device_protocol(i)) + ")"});
    }
    return sources;
}

static std::unique_ptr<CameraBackend> createAravisCamera(const std::string& sourceName, std::string& error) {
    const std::string id = deviceId(sourceName);
    GError* err = nullptr;
    ArvCamera* camera = nullptr;
    if (id.compare(0, FakeDevicePrefix.size(), FakeDevicePrefix) == 0) {
        // Straight to the simulated interface: a general lookup would first
        // spend a second on network discovery.
        arv_enable_interface("Fake");
        if (ArvDevice* device = arv_interface_open_device(arv_fake_interface_get_instance(), id.c_str(), &err)) {
            camera = arv_camera_new_with_device(device, &err);
            g_object_unref(device);
        }
    } else {
        camera = arv_camera_new(id.empty() ? nullptr : id.c_str(), &err);
    }
    if (!camera) {
        error = sourceName + ": cannot connect to the camera: " + takeMessage(err);
        return nullptr;
    }
    auto backend = std::make_unique<AravisCamera>(camera, sourceName);
    if (!choosePixelFormat(camera, error)) {
        error = sourceName + ": " + error;
        return nullptr;
    }
    return backend;
}

const CameraBackendKind& aravisCameraKind() {
    static const CameraBackendKind kind = {
        "aravis[:ID]",
        [](const std::string& sourceName) { return sourceName == Kind || sourceName.compare(0, Kind.size() + 1, Kind + ":") == 0; },
        enumerateAravis,
        createAravisCamera,
    };
    return kind;
}
