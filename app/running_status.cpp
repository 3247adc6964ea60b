#include "running_status.h"

#include <cstdio>

std::string runningStatusText(int port, double framesPerSecond, int clients) {
    if (port <= 0) return "Starting: the camera warms up";
    char text[128];
    std::snprintf(text, sizeof text, "Listening on port %d, %.1f frames/s, %d client%s connected", port,
                  framesPerSecond, clients, clients == 1 ? "" : "s");
    return text;
}

void FrameRateMeter::restart(Clock::time_point now) {
    frames_ = framesAtSample_ = 0;
    sampledAt_ = now;
}

double FrameRateMeter::sample(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - sampledAt_).count();
    const double rate = seconds > 0.0 ? static_cast<double>(frames_ - framesAtSample_) / seconds : 0.0;
    framesAtSample_ = frames_;
    sampledAt_ = now;
    return rate;
}
