// The preview overlay drawn onto real BGRA frames, checked pixel by pixel.
#include <cmath>
#include <limits>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include "overlay.h"

namespace {

const cv::Scalar Grey(128, 128, 128, 255);

MarkerResult squareMarker(double px, double py, double half, const std::string& name) {
    MarkerResult r;
    r.name = name;
    r.px = px;
    r.py = py;
    const double corners[4][2] = {{-half, -half}, {half, -half}, {half, half}, {-half, half}};
    for (int k = 0; k < 4; ++k) {
        r.vertex[k][0] = px + corners[k][0];
        r.vertex[k][1] = py + corners[k][1];
    }
    return r;
}

cv::Vec4b pixel(const cv::Mat& image, int x, int y) { return image.at<cv::Vec4b>(y, x); }

const cv::Vec4b Red(0, 0, 255, 0);

}  // namespace

// The axis-aligned square: centre (100, 100), vertex 0 at (90, 90), vertex 1
// at (110, 90); the stroke crosses edge 0-1 and ends at (100, 80).
TEST(MarkerOutline, DirectionStrokeEndsAtTwiceTheEdgeMidpoint) {
    cv::Mat image(200, 200, CV_8UC4, Grey);
    drawMarkerOutline(image, squareMarker(100, 100, 10, "P000"), OverlayRed);
    for (int y = 80; y <= 100; ++y) EXPECT_EQ(pixel(image, 100, y), Red) << "stroke at y " << y;
    EXPECT_EQ(pixel(image, 100, 79), cv::Vec4b(128, 128, 128, 255));
    // Each edge, and nothing inside the square off the stroke.
    EXPECT_EQ(pixel(image, 95, 90), Red);
    EXPECT_EQ(pixel(image, 110, 95), Red);
    EXPECT_EQ(pixel(image, 105, 110), Red);
    EXPECT_EQ(pixel(image, 90, 105), Red);
    EXPECT_EQ(pixel(image, 95, 95), cv::Vec4b(128, 128, 128, 255));
}

TEST(OutlinedText, SitsOnItsOriginWithABlackRim) {
    cv::Mat image(200, 300, CV_8UC4, Grey);
    const std::string text = "P007";
    drawOutlinedText(image, text, 50, 120, OverlayWhite, 1.0);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_DUPLEX, 1.0, 1, &baseline);
    int white = 0, black = 0, minX = image.cols, maxY = 0;
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            const cv::Vec4b p = pixel(image, x, y);
            // Antialiased: the glyph cores are near white, the rim near black.
            if (p[0] > 200 && p[1] > 200 && p[2] > 200) {
                ++white;
                minX = std::min(minX, x);
                maxY = std::max(maxY, y);
            }
            black += p[0] < 40 && p[1] < 40 && p[2] < 40;
        }
    }
    ASSERT_GT(white, 0);
    // Bottom-left origin: the glyphs start at x 50 and rest on row 120.
    EXPECT_GE(minX, 50);
    EXPECT_LE(minX, 56);  // the glyph's own left bearing
    EXPECT_LE(maxY, 120);
    EXPECT_GE(maxY, 120 - 2);
    EXPECT_LE(size.width, 300 - 50);
    // The four-pixel black pass is wider than the one-pixel white one.
    EXPECT_GT(black, white);
}

// Centre (320.7, 240.2): "(320,240)" at (320, 240), the name at (310, 290).
// Negative values truncate toward zero, not down.
TEST(MarkerOverlay, LabelsAtTheTruncatedCentreAndNameBelowIt) {
    const struct {
        double px, py;
        std::string label;
        cv::Point labelAt, nameAt;
    } cases[] = {
        {320.7, 240.2, "(320,240)", {320, 240}, {310, 290}},
        {-5.5, 10.9, "(-5,10)", {-5, 10}, {-15, 60}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const MarkerResult marker = squareMarker(c.px, c.py, 30, "P012");
        cv::Mat drawn(480, 640, CV_8UC4, Grey);
        drawMarkerOverlay(drawn, marker);

        cv::Mat expected(480, 640, CV_8UC4, Grey);
        drawMarkerOutline(expected, marker, OverlayRed);
        drawOutlinedText(expected, c.label, c.labelAt.x, c.labelAt.y, OverlayYellow, 0.5);
        drawOutlinedText(expected, "P012", c.nameAt.x, c.nameAt.y, OverlayWhite, 1.0);
        EXPECT_EQ(cv::norm(drawn, expected, cv::NORM_INF), 0);
    }
}

TEST(MarkerOverlay, ClipsAtTheImageBorderAndDrawsNothingOutside) {
    cv::Mat canvas(300, 300, CV_8UC4, Grey);
    cv::Mat frame = canvas(cv::Rect(100, 100, 100, 100));
    // Centred on the frame's corner: outline, stroke and texts all cross it.
    drawMarkerOverlay(frame, squareMarker(95, 5, 40, "A_LONG_PATTERN_NAME"));
    const cv::Mat untouched(100, 100, CV_8UC4, Grey);
    EXPECT_GT(cv::norm(frame, untouched, cv::NORM_INF), 0) << "nothing drawn inside";
    frame.setTo(Grey);
    EXPECT_EQ(cv::norm(canvas, cv::Mat(300, 300, CV_8UC4, Grey), cv::NORM_INF), 0) << "pixels changed outside the frame";
}

TEST(MarkerOverlay, WildCoordinatesAreDrawnWithoutFault) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    cv::Mat image(120, 160, CV_8UC4, Grey);
    for (double v : {nan, inf, -inf, 1e300, -1e300, 3e9}) {
        MarkerResult marker = squareMarker(80, 60, 20, "X");
        marker.px = v;
        marker.vertex[1][1] = v;
        drawMarkerOverlay(image, marker);
        marker = squareMarker(v, v, 20, "Y");
        drawMarkerOverlay(image, marker);
    }
    EXPECT_EQ(image.size(), cv::Size(160, 120));
}
