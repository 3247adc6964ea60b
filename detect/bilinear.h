#pragma once
// The detector's one sub-pixel reading of a frame (4 bytes a pixel, rows
// unpadded): pixel i is centred on the point i, as contour points and the
// renderer's pixels are, so a frame point reads the same to every caller.
#include <cstddef>
#include <cstdint>

// The four pixels around (x, y) and the weights of the right and lower
// ones; false when one of them lies off the frame (or x, y are not finite).
struct BilinearCell {
    const uint8_t* topLeft;
    const uint8_t* bottomLeft;
    double ax, ay;

    bool locate(const uint8_t* frame, int width, int height, double x, double y) {
        if (!(x >= 0.0 && y >= 0.0 && x < width - 1 && y < height - 1)) return false;
        // Truncation is the floor here, and cheaper: x and y are not negative.
        const int ix = static_cast<int>(x), iy = static_cast<int>(y);
        ax = x - ix, ay = y - iy;
        topLeft = frame + (static_cast<size_t>(iy) * width + ix) * 4;
        bottomLeft = topLeft + static_cast<size_t>(width) * 4;
        return true;
    }
};

// Bilinear blue, green and red at (x, y); false, with `bgr` untouched, off
// the frame.
inline bool bilinearPixel(const uint8_t* frame, int width, int height, double x, double y, double bgr[3]) {
    BilinearCell cell;
    if (!cell.locate(frame, width, height, x, y)) return false;
    const double ax = cell.ax, ay = cell.ay;
    const double w[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
    const uint8_t* p0 = cell.topLeft;
    const uint8_t* p2 = cell.bottomLeft;
    for (int c = 0; c < 3; ++c) bgr[c] = w[0] * p0[c] + w[1] * p0[c + 4] + w[2] * p2[c] + w[3] * p2[c + 4];
    return true;
}

// The same reading of the three channels' sum (0..765), at a third of the
// cost, for grey-level profiles.
inline bool bilinearSum(const uint8_t* frame, int width, int height, double x, double y, double& sum) {
    BilinearCell cell;
    if (!cell.locate(frame, width, height, x, y)) return false;
    const uint8_t* p = cell.topLeft;
    const uint8_t* q = cell.bottomLeft;
    const double top = (1 - cell.ax) * (p[0] + p[1] + p[2]) + cell.ax * (p[4] + p[5] + p[6]);
    const double bottom = (1 - cell.ax) * (q[0] + q[1] + q[2]) + cell.ax * (q[4] + q[5] + q[6]);
    sum = (1 - cell.ay) * top + cell.ay * bottom;
    return true;
}
