#pragma once
// Reads a source on a thread of its own, the way a camera driver fills its
// buffers whether or not anyone is looking, and hands the newest frame to a
// waiting grab. Backends whose reads block without a timeout of our choosing
// (V4L2) or that have no clock of their own (files) sit behind one.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <opencv2/core.hpp>
#include "camera.h"

class FramePump {
public:
    // Reads the next frame as 8-bit BGR into `bgr`; false with `error` set
    // when the source failed this time (the pump retries).
    using Reader = std::function<bool(cv::Mat& bgr, std::string& error)>;

    // periodMs > 0 calls the reader once per period (a file played at its
    // frame rate); 0 calls it again as soon as it returns (a device whose
    // reads wait for the hardware).
    FramePump(Reader reader, double periodMs);
    // Stops the thread and waits for it; a read in progress finishes first.
    ~FramePump();
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    // Waits up to timeoutMs for a frame newer than the one taken last time.
    // Timeout carries the source's latest error, if any.
    GrabStatus waitNext(cv::Mat& bgr, int timeoutMs, std::string& error);

private:
    void run();

    Reader reader_;
    std::chrono::nanoseconds period_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_.
    cv::Mat latest_;
    uint64_t produced_ = 0;
    uint64_t taken_ = 0;
    std::string sourceError_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once everything above exists
};
