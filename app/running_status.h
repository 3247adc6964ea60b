#pragma once
// The status line under the Output box while the server runs: the port
// actually listened on (the system picks it when the settings say 0), the
// frame rate, and how many clients are connected. It lives outside the
// Output text, whose format the clients' report defines.
#include <chrono>
#include <string>

// "Listening on port 9950, 29.9 frames/s, 2 clients connected"; before the
// server listens (port 0), "Starting: the camera warms up".
std::string runningStatusText(int port, double framesPerSecond, int clients);

// Frames counted as they are shown, turned into a rate at each sample.
class FrameRateMeter {
public:
    using Clock = std::chrono::steady_clock;
    void restart(Clock::time_point now);
    void frame() { ++frames_; }
    // Frames per second since the previous sample (or the restart).
    double sample(Clock::time_point now);

private:
    long frames_ = 0;
    long framesAtSample_ = 0;
    Clock::time_point sampledAt_{};
};
