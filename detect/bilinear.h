#pragma once
// The detector's one sub-pixel reading of a frame (4 bytes a pixel, rows
// unpadded): pixel i is centred on the point i, as contour points and the
// renderer's pixels are, so a frame point reads the same to every caller.
#include <cmath>
#include <cstddef>
#include <cstdint>

// Bilinear blue, green and red at (x, y); false, with `bgr` untouched, when
// one of the four neighbours lies off the frame (or x, y are not finite).
inline bool bilinearPixel(const uint8_t* frame, int width, int height, double x, double y, double bgr[3]) {
    if (!(x >= 0.0 && y >= 0.0 && x < width - 1 && y < height - 1)) return false;
    const double fx = std::floor(x), fy = std::floor(y);
    const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
    const double ax = x - fx, ay = y - fy;
    const double w[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
    const uint8_t* p0 = frame + (static_cast<size_t>(y0) * width + x0) * 4;
    const uint8_t* p2 = p0 + static_cast<size_t>(width) * 4;
    for (int c = 0; c < 3; ++c) bgr[c] = w[0] * p0[c] + w[1] * p0[c + 4] + w[2] * p2[c] + w[3] * p2[c + 4];
    return true;
}
