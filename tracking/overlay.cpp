#include "overlay.h"
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

// Coordinates are truncated toward zero. Beyond this magnitude nothing can
// land in an image anyway; the clamp keeps the conversion and the integer
// sums below defined for wild or non-finite poses.
static constexpr double CoordinateLimit = 1 << 24;

static int truncCoordinate(double v) {
    if (std::isnan(v)) return 0;
    return static_cast<int>(std::trunc(std::fmax(-CoordinateLimit, std::fmin(CoordinateLimit, v))));
}

void drawOutlinedText(cv::Mat& bgra, const std::string& text, int x, int y, const cv::Scalar& colour, double scale) {
    cv::putText(bgra, text, cv::Point(x, y), cv::FONT_HERSHEY_DUPLEX, scale, OverlayBlack, 4, cv::LINE_AA);
    cv::putText(bgra, text, cv::Point(x, y), cv::FONT_HERSHEY_DUPLEX, scale, colour, 1, cv::LINE_AA);
}

void drawMarkerOutline(cv::Mat& bgra, const MarkerResult& result, const cv::Scalar& colour) {
    cv::Point p[4];
    for (int k = 0; k < 4; ++k) p[k] = {truncCoordinate(result.vertex[k][0]), truncCoordinate(result.vertex[k][1])};
    for (int k = 0; k < 4; ++k) cv::line(bgra, p[k], p[(k + 1) % 4], colour, 1, cv::LINE_8, 0);

    // Offsets of vertices 0 and 1 from the centre, summed in integers: the
    // stroke ends at twice the distance of edge 0-1's midpoint.
    const int cx = truncCoordinate(result.px), cy = truncCoordinate(result.py);
    const int d0x = truncCoordinate(p[0].x - result.px), d0y = truncCoordinate(p[0].y - result.py);
    const int d1x = truncCoordinate(p[1].x - result.px), d1y = truncCoordinate(p[1].y - result.py);
    const cv::Point end(truncCoordinate((d0x + d1x) + result.px), truncCoordinate((d0y + d1y) + result.py));
    cv::line(bgra, cv::Point(cx, cy), end, colour, 1, cv::LINE_8, 0);
}

void drawMarkerOverlay(cv::Mat& bgra, const MarkerResult& result) {
    drawMarkerOutline(bgra, result, OverlayRed);
    const int x = truncCoordinate(result.px), y = truncCoordinate(result.py);
    char centre[256];
    std::snprintf(centre, sizeof centre, "(%d,%d)", x, y);
    drawOutlinedText(bgra, centre, x, y, OverlayYellow, 0.5);
    drawOutlinedText(bgra, result.name, truncCoordinate(result.px - 10), truncCoordinate(result.py + 50), OverlayWhite,
                     1.0);
}
