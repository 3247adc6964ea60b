// file:PATH — a recorded session replayed like a live camera: a video file,
// an image sequence OpenCV understands (frames/%04d.png), a single image, or
// a directory of images taken in name order. It loops forever and is paced
// at its frame rate.
#include <algorithm>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include "camera.h"
#include "camera_pump.h"

namespace fs = std::filesystem;

// Image lists and clips that do not state their rate play at a common
// camera's rate.
static constexpr double DefaultFramesPerSecond = 30.0;
static const std::string Prefix = "file:";

// Every decoder output the system may meet, as the 8-bit BGR the rest wants.
static bool toBgr8(const cv::Mat& in, cv::Mat& bgr) {
    if (in.empty()) return false;
    cv::Mat eight = in;
    if (in.depth() == CV_16U) in.convertTo(eight, CV_8U, 1.0 / 256.0);
    else if (in.depth() != CV_8U) return false;
    switch (eight.channels()) {
    case 1: cv::cvtColor(eight, bgr, cv::COLOR_GRAY2BGR); return true;
    case 3: eight.copyTo(bgr); return true;
    case 4: cv::cvtColor(eight, bgr, cv::COLOR_BGRA2BGR); return true;
    default: return false;
    }
}

namespace {

class FileCamera : public CameraBackend {
public:
    // An explicit list of images (a directory or one image file).
    explicit FileCamera(std::vector<std::string> images) : images_(std::move(images)) {}
    // Anything OpenCV's video reader opens.
    FileCamera(std::string path, cv::VideoCapture capture) : path_(std::move(path)), capture_(std::move(capture)) {
        const double fps = capture_.get(cv::CAP_PROP_FPS);
        if (fps > 0.0 && fps <= 1000.0) framesPerSecond_ = fps;
    }

    bool start(std::string&) override {
        pump_ = std::make_unique<FramePump>(
            [this](cv::Mat& bgr, std::string& error) { return images_.empty() ? readClip(bgr, error) : readImage(bgr, error); },
            1000.0 / framesPerSecond_);
        return true;
    }

    GrabStatus grab(cv::Mat& bgr, int timeoutMs, std::string& error) override {
        return pump_->waitNext(bgr, timeoutMs, error);
    }

private:
    // Called on the pump's thread only.
    bool readImage(cv::Mat& bgr, std::string& error) {
        const std::string& name = images_[next_];
        next_ = (next_ + 1) % images_.size();
        if (!toBgr8(cv::imread(name, cv::IMREAD_UNCHANGED), bgr)) {
            error = "cannot read image " + name;
            return false;
        }
        return true;
    }

    bool readClip(cv::Mat& bgr, std::string& error) {
        cv::Mat frame;
        if (!capture_.isOpened() || !capture_.read(frame)) {
            // The end of the clip: start it again. Reopening works for every
            // reader, where seeking back does not (image sequences).
            capture_.open(path_);
            if (!capture_.isOpened() || !capture_.read(frame)) {
                error = "no frames can be read from " + path_;
                return false;
            }
        }
        if (!toBgr8(frame, bgr)) {
            error = "unsupported pixel layout in " + path_;
            return false;
        }
        return true;
    }

    std::vector<std::string> images_;
    size_t next_ = 0;
    std::string path_;
    cv::VideoCapture capture_;
    double framesPerSecond_ = DefaultFramesPerSecond;
    std::unique_ptr<FramePump> pump_;  // last: its thread reads the members above
};

}  // namespace

static bool isImageFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && cv::haveImageReader(path.string());
}

static std::unique_ptr<CameraBackend> createFileCamera(const std::string& sourceName, std::string& error) {
    const std::string path = sourceName.substr(Prefix.size());
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::vector<std::string> images;
        for (const auto& entry : fs::directory_iterator(path, ec)) {
            if (isImageFile(entry.path())) images.push_back(entry.path().string());
        }
        std::sort(images.begin(), images.end());
        if (images.empty()) {
            error = "no images in the directory " + path;
            return nullptr;
        }
        return std::make_unique<FileCamera>(std::move(images));
    }
    if (isImageFile(path)) return std::make_unique<FileCamera>(std::vector<std::string>{path});
    // A name without a printf field must exist; asking OpenCV would only
    // add its own complaint about a missing sequence number.
    if (path.find('%') == std::string::npos && !fs::exists(path, ec)) {
        error = "cannot open " + path + ": no such file or directory";
        return nullptr;
    }
    cv::VideoCapture capture(path);
    if (!capture.isOpened()) {
        error = "cannot open " + path + " as a video file or image sequence";
        return nullptr;
    }
    return std::make_unique<FileCamera>(path, std::move(capture));
}

const CameraBackendKind& fileCameraKind() {
    static const CameraBackendKind kind = {
        "file:PATH",
        [](const std::string& sourceName) { return sourceName.compare(0, Prefix.size(), Prefix) == 0; },
        [] { return std::vector<CameraSource>(); },
        createFileCamera,
    };
    return kind;
}
