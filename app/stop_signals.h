#pragma once
// SIGINT and SIGTERM for the commands that run until stopped (--headless,
// fuse): blocked before any thread exists, so that every thread inherits
// the mask and the signals reach only the waits below.
#include <signal.h>
#include <chrono>
#include <ctime>

class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // True when a stop signal arrived within `timeout`.
    bool wait(std::chrono::milliseconds timeout) const {
        const timespec limit{static_cast<time_t>(timeout.count() / 1000),
                             static_cast<long>(timeout.count() % 1000) * 1000000L};
        return sigtimedwait(&set_, nullptr, &limit) > 0;
    }
    void waitForever() const {
        int signal = 0;
        sigwait(&set_, &signal);
    }

private:
    sigset_t set_;
};
