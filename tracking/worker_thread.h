#pragma once
// The owner of one worker thread, shared by the tracking and the capture
// worker: the run flag is set before the thread starts, so a stop asked for
// at once is never lost; a start first waits for the previous thread, and
// the owner's end asks its thread to stop and waits for it.
#include <atomic>
#include <thread>
#include <utility>

class WorkerThread {
public:
    explicit WorkerThread(std::atomic<int>& running) : running_(running) {}
    ~WorkerThread() {
        requestStop();
        join();
    }

    template <typename Body>
    void start(Body body) {
        join();
        running_ = 1;
        thread_ = std::thread(std::move(body));
    }
    // Asks the worker to finish what it does and end; does not wait.
    void requestStop() { running_ = 0; }
    // Waits for the thread after it has ended (or been asked to end).
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    bool exists() const { return thread_.joinable(); }

private:
    std::atomic<int>& running_;
    std::thread thread_;
};
