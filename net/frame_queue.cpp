#include "frame_queue.h"
#include <cstdio>
#include <exception>

FrameQueue::FrameQueue(std::size_t capacity, Consumer consume)
    : capacity_(capacity > 0 ? capacity : 1), consume_(std::move(consume)), thread_([this] { run(); }) {}

FrameQueue::~FrameQueue() { stop(); }

void FrameQueue::push(PublishedFrame frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        if (frames_.size() >= capacity_) {
            frames_.pop_front();
            ++dropped_;
        }
        frames_.push_back(std::move(frame));
    }
    ready_.notify_one();
}

void FrameQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        frames_.clear();
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
}

uint64_t FrameQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void FrameQueue::run() {
    for (;;) {
        PublishedFrame frame;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !frames_.empty(); });
            if (stopping_) return;
            frame = std::move(frames_.front());
            frames_.pop_front();
        }
        // An output that fails on one frame must not end the others.
        try {
            consume_(frame);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillmark: an output dropped a frame: %s\n", e.what());
        }
    }
}
