#include <pthread.h>
#include <time.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "web_core.h"

namespace {

int64_t threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

WebEncoder::WebEncoder(int imageWidth, int jpegQuality, Done done)
    : imageWidth_(imageWidth), jpegQuality_(jpegQuality), done_(std::move(done)), thread_([this] { run(); }) {}

WebEncoder::~WebEncoder() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void WebEncoder::offer(cv::Mat bgr, std::shared_ptr<const WebFrame> frame) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        image_ = std::move(bgr);
        frame_ = std::move(frame);
    }
    wake_.notify_one();
}

void WebEncoder::run() {
    // Named, so that its cost can be told apart from tracking's (top -H).
    pthread_setname_np(pthread_self(), "qm-web-jpeg");
    std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, jpegQuality_};
    cv::Mat scaled;
    for (;;) {
        cv::Mat image;
        std::shared_ptr<const WebFrame> frame;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return stopping_ || frame_; });
            if (stopping_) return;
            image = std::move(image_);
            frame = std::move(frame_);
            image_.release();
        }
        const int64_t begun = threadCpuNanoseconds();
        try {
            // Outlines are drawn by the page from the frame's own
            // coordinates, so the picture may be smaller than the frame.
            if (imageWidth_ > 0 && image.cols > imageWidth_) {
                const int height = std::max(1, image.rows * imageWidth_ / image.cols);
                cv::resize(image, scaled, cv::Size(imageWidth_, height), 0, 0, cv::INTER_AREA);
                image = scaled;
            }
            std::vector<unsigned char> jpeg;
            cv::imencode(".jpg", image, jpeg, parameters);
            auto unit = std::make_shared<WebUnit>();
            unit->emplace_back(frameJson(jsonFrameOf(*frame)), false);
            unit->emplace_back(std::string(jpeg.begin(), jpeg.end()), true);
            ++encoded;
            threadNanoseconds += threadCpuNanoseconds() - begun;
            done_(std::move(unit));
        } catch (const cv::Exception& e) {
            std::fprintf(stderr, "quillmark: the page's image could not be encoded: %s\n", e.what());
        }
    }
}
