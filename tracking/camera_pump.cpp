#include "camera_pump.h"
#include <algorithm>
#include <chrono>

using Clock = std::chrono::steady_clock;

// A failing source is retried no faster than this, so an unplugged device
// or a vanished file costs no CPU while grabs wait for their timeout.
static constexpr std::chrono::milliseconds RetryPause{100};

FramePump::FramePump(Reader reader, double periodMs)
    : reader_(std::move(reader)),
      period_(std::chrono::nanoseconds(static_cast<int64_t>(periodMs * 1e6))),
      thread_(&FramePump::run, this) {}

FramePump::~FramePump() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FramePump::run() {
    cv::Mat frame;
    std::string error;
    Clock::time_point due = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_until(lock, due, [this] { return stopping_; });
            if (stopping_) return;
        }
        const bool ok = reader_(frame, error);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ok) {
                // Swapping keeps both buffers alive, so steady streaming
                // allocates nothing.
                cv::swap(latest_, frame);
                ++produced_;
                sourceError_.clear();
            } else {
                sourceError_ = error;
            }
        }
        if (ok) changed_.notify_all();
        const Clock::time_point now = Clock::now();
        if (ok) {
            due += period_;
            // After a slow read, carry on from now rather than bursting to catch up.
            if (due < now) due = now;
        } else {
            due = now + std::max<Clock::duration>(period_, RetryPause);
        }
    }
}

GrabStatus FramePump::waitNext(cv::Mat& bgr, int timeoutMs, std::string& error) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool fresh = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [this] { return produced_ != taken_; });
    if (!fresh) {
        error = "no frame within " + std::to_string(timeoutMs) + " ms";
        if (!sourceError_.empty()) error += " (" + sourceError_ + ")";
        return GrabStatus::Timeout;
    }
    latest_.copyTo(bgr);
    taken_ = produced_;
    return GrabStatus::Ok;
}
