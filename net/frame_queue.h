#pragma once
// The hand-over between the tracking worker and an output's own thread: a
// few frames deep, and when it is full the oldest frame goes, so a slow or
// absent receiver never holds up tracking and never sees stale frames first.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include "tracking_worker.h"

class FrameQueue {
public:
    using Consumer = std::function<void(const PublishedFrame&)>;

    // `consume` runs on the queue's own thread, one frame at a time, in order.
    FrameQueue(std::size_t capacity, Consumer consume);
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Never waits for the consumer.
    void push(PublishedFrame frame);
    // Ends the thread after the frame in hand; frames still queued are dropped.
    void stop();
    // Frames dropped because the consumer fell behind.
    uint64_t dropped() const;

private:
    void run();

    const std::size_t capacity_;
    Consumer consume_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<PublishedFrame> frames_;
    uint64_t dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};
