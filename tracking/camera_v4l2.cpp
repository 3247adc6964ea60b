// v4l2:N or /dev/videoN — webcams and UVC cameras through OpenCV's V4L2
// reader. The driver's own read timeout is fixed and long, so reads run on a
// FramePump and grabs time out on our schedule.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include "camera.h"
#include "camera_pump.h"

static const std::string Prefix = "v4l2:";
static const std::string DevicePrefix = "/dev/video";

// The device file a name names; empty when the name is not of this kind.
static std::string devicePath(const std::string& sourceName) {
    std::string number;
    if (sourceName.compare(0, Prefix.size(), Prefix) == 0) number = sourceName.substr(Prefix.size());
    else if (sourceName.compare(0, DevicePrefix.size(), DevicePrefix) == 0) number = sourceName.substr(DevicePrefix.size());
    else return "";
    if (number.empty() || number.size() > 4 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "";
    }
    return DevicePrefix + number;
}

// The card name of a device that captures video; empty for metadata and
// output nodes, which UVC drivers create beside every camera.
static std::string captureCardName(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "";
    v4l2_capability cap{};
    std::string name;
    if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
        const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (caps & V4L2_CAP_VIDEO_CAPTURE) {
            name.assign(reinterpret_cast<const char*>(cap.card), strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
        }
    }
    ::close(fd);
    return name;
}

static std::vector<CameraSource> enumerateV4l2() {
    std::vector<std::pair<int, CameraSource>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string path = entry.path().string();
        if (devicePath(path) != path) continue;
        const std::string card = captureCardName(path);
        if (card.empty()) continue;
        const std::string number = path.substr(DevicePrefix.size());
        found.push_back({std::stoi(number), {Prefix + number, card + " (" + path + ")"}});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<CameraSource> sources;
    for (auto& f : found) sources.push_back(std::move(f.second));
    return sources;
}

namespace {

class V4l2Camera : public CameraBackend {
public:
    V4l2Camera(std::string path, cv::VideoCapture capture) : path_(std::move(path)), capture_(std::move(capture)) {}

    bool start(std::string&) override {
        pump_ = std::make_unique<FramePump>([this](cv::Mat& bgr, std::string& error) { return read(bgr, error); }, 0.0);
        return true;
    }

    GrabStatus grab(cv::Mat& bgr, int timeoutMs, std::string& error) override {
        return pump_->waitNext(bgr, timeoutMs, error);
    }

private:
    // On the pump's thread only.
    bool read(cv::Mat& bgr, std::string& error) {
        if (!capture_.read(frame_) || frame_.empty()) {
            error = "cannot read a frame from " + path_;
            return false;
        }
        if (frame_.type() == CV_8UC3) frame_.copyTo(bgr);
        else if (frame_.type() == CV_8UC1) cv::cvtColor(frame_, bgr, cv::COLOR_GRAY2BGR);
        else {
            error = "unsupported frame layout from " + path_;
            return false;
        }
        return true;
    }

    std::string path_;
    cv::VideoCapture capture_;
    cv::Mat frame_;
    std::unique_ptr<FramePump> pump_;  // last: its thread reads the members above
};

}  // namespace

static std::unique_ptr<CameraBackend> createV4l2Camera(const std::string& sourceName, std::string& error) {
    const std::string path = devicePath(sourceName);
    if (path.empty()) {
        error = "\"" + sourceName + "\" names no V4L2 device (expected v4l2:N or /dev/videoN)";
        return nullptr;
    }
    cv::VideoCapture capture;
    if (!capture.open(path, cv::CAP_V4L2)) {
        error = "cannot open the V4L2 device " + path + " (missing, or in use by another program)";
        return nullptr;
    }
    return std::make_unique<V4l2Camera>(path, std::move(capture));
}

const CameraBackendKind& v4l2CameraKind() {
    static const CameraBackendKind kind = {
        "v4l2:N",
        [](const std::string& sourceName) {
            return sourceName.compare(0, Prefix.size(), Prefix) == 0 || sourceName.compare(0, DevicePrefix.size(), DevicePrefix) == 0;
        },
        enumerateV4l2,
        createV4l2Camera,
    };
    return kind;
}
