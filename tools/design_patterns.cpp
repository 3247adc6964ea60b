// Designs the four demo patterns and writes them as printable marker images,
// plus the placeholder thumbnail shown while the catalogue is empty.
//   design_patterns MARKER_DIR [NO_PATTERN_BMP]
// Each design is checked against every quarter turn of itself and of the
// others with the detector's own score, so no two can be confused.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "render.h"

namespace {

struct Design {
    const char* name;
    const char* rows[8]; // '#' ink, '.' paper; each cell becomes 2 x 2 pattern cells
};

const Design kDesigns[] = {
    {"Flag", {"##......",
              "#####...",
              "#######.",
              "#####...",
              "##......",
              "##......",
              "##......",
              "######.."}},
    {"Fork", {"#.#.#...",
              "#.#.#...",
              "#.#.#...",
              "#####...",
              "..#.....",
              "..#.....",
              "..#.....",
              "..#....."}},
    {"Kite", {"...#....",
              "..###...",
              ".#####..",
              "..###...",
              "...#....",
              "....#...",
              ".....#..",
              "......##"}},
    {"Hook", {".######.",
              ".#....#.",
              "......#.",
              "......#.",
              "#.....#.",
              "#.....#.",
              "#######.",
              "........"}},
};

// Above the detector's identity cut of 0.5 a marker could be taken for
// another pattern or another turn of itself.
constexpr double kMaxSimilarity = 0.5;

cv::Mat patternOf(const Design& design) {
    cv::Mat pattern(16, 16, CV_8UC3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const uint8_t level = design.rows[y / 2][x / 2] == '#' ? 0 : 255;
            pattern.at<cv::Vec3b>(y, x) = cv::Vec3b(level, level, level);
        }
    return pattern;
}

// The matcher's view of a code: inverted, mean removed.
std::vector<double> centred(const cv::Mat& pattern) {
    std::vector<double> v;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            for (int p = 0; p < 3; ++p) v.push_back(255.0 - pattern.at<cv::Vec3b>(y, x)[p]);
    double mean = 0;
    for (double a : v) mean += a;
    mean /= v.size();
    for (double& a : v) a -= mean;
    return v;
}

double similarity(const cv::Mat& a, const cv::Mat& b) {
    const std::vector<double> u = centred(a), v = centred(b);
    double dot = 0, uu = 0, vv = 0;
    for (size_t i = 0; i < u.size(); ++i) {
        dot += u[i] * v[i];
        uu += u[i] * u[i];
        vv += v[i] * v[i];
    }
    return dot / std::sqrt(uu * vv);
}

cv::Mat turned(const cv::Mat& pattern, int quarterTurns) {
    cv::Mat out = pattern.clone();
    for (int i = 0; i < quarterTurns; ++i) cv::rotate(out, out, cv::ROTATE_90_COUNTERCLOCKWISE);
    return out;
}

double worstSimilarity(const std::vector<cv::Mat>& patterns) {
    double worst = -1.0;
    for (size_t a = 0; a < patterns.size(); ++a)
        for (size_t b = 0; b < patterns.size(); ++b)
            for (int r = 0; r < 4; ++r) {
                if (a == b && r == 0) continue;
                const double s = similarity(patterns[a], turned(patterns[b], r));
                if (s > worst) worst = s;
                if (s > kMaxSimilarity)
                    std::fprintf(stderr, "%s and %s turned %d: similarity %.3f\n", kDesigns[a].name,
                                 kDesigns[b].name, r, s);
            }
    return worst;
}

cv::Mat placeholderThumbnail() {
    cv::Mat image(80, 80, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::rectangle(image, cv::Point(6, 6), cv::Point(73, 73), cv::Scalar(120, 120, 120), 1);
    cv::putText(image, "no", cv::Point(31, 36), cv::FONT_HERSHEY_SIMPLEX, 0.4, cv::Scalar(80, 80, 80), 1,
                cv::LINE_AA);
    cv::putText(image, "pattern", cv::Point(14, 52), cv::FONT_HERSHEY_SIMPLEX, 0.4, cv::Scalar(80, 80, 80), 1,
                cv::LINE_AA);
    return image;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: design_patterns MARKER_DIR [NO_PATTERN_BMP]\n");
        return 2;
    }
    std::vector<cv::Mat> patterns;
    for (const Design& design : kDesigns) patterns.push_back(patternOf(design));
    const double worst = worstSimilarity(patterns);
    std::printf("largest similarity between distinct patterns or turns: %.3f\n", worst);
    if (worst > kMaxSimilarity) return 1;

    // Paper a quarter of the side wide all round keeps the border clear of
    // whatever the print lies on.
    const int sidePx = 320, marginPx = 80;
    for (size_t i = 0; i < patterns.size(); ++i) {
        const std::string path = std::string(argv[1]) + "/" + kDesigns[i].name + ".png";
        if (!cv::imwrite(path, renderMarkerImage(patterns[i], sidePx, marginPx))) {
            std::fprintf(stderr, "design_patterns: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    if (argc > 2 && !cv::imwrite(argv[2], placeholderThumbnail())) {
        std::fprintf(stderr, "design_patterns: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
