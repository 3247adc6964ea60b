#pragma once
// Waiting for something another thread or process does. The limit is a
// generous bound that turns a hang into a failure on a loaded machine, never
// a timing assertion.
#include <chrono>
#include <thread>

// Polls `condition` every `step` until it holds (true) or `limit` passes
// (false).
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20),
             std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}
