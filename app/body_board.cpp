#include "body_board.h"
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

// Candidates drawn for each new pattern; the one farthest from all the
// rest is kept.
constexpr int kCandidates = 96;
// Cells of 2 x 2 pattern cells, as the demo patterns are drawn: coarse
// enough to be read from a small marker.
constexpr int kCells = 8;

cv::Mat turned(const cv::Mat& pattern, int quarterTurns) {
    cv::Mat out = pattern.clone();
    for (int i = 0; i < quarterTurns; ++i) cv::rotate(out, out, cv::ROTATE_90_COUNTERCLOCKWISE);
    return out;
}

// An 8 x 8 design of ink and paper, between a third and two thirds inked
// so that the matcher sees contrast everywhere.
cv::Mat randomDesign(cv::RNG& rng) {
    for (;;) {
        cv::Mat pattern(16, 16, CV_8UC3);
        int ink = 0;
        for (int y = 0; y < kCells; ++y)
            for (int x = 0; x < kCells; ++x) {
                const bool dark = rng.uniform(0, 2) == 1;
                ink += dark;
                const uint8_t level = dark ? 0 : 255;
                pattern(cv::Rect(2 * x, 2 * y, 2, 2)).setTo(cv::Scalar::all(level));
            }
        if (ink >= kCells * kCells / 3 && ink <= 2 * kCells * kCells / 3) return pattern;
    }
}

// A pattern as the matcher compares it: inverted, mean removed, unit length.
cv::Mat matcherVector(const cv::Mat& pattern) {
    cv::Mat v;
    pattern.convertTo(v, CV_64F, -1, 255);
    v = v.reshape(1, 1);
    v -= cv::mean(v)[0];
    const double norm = std::sqrt(v.dot(v));
    return norm > 0 ? cv::Mat(v / norm) : v;
}

struct Turns {
    cv::Mat turn[4];
    explicit Turns(const cv::Mat& pattern) {
        for (int r = 0; r < 4; ++r) turn[r] = matcherVector(turned(pattern, r));
    }
};

// The largest similarity of `candidate` to the turns of `others` and to its
// own three turns.
double worstAgainst(const Turns& candidate, const std::vector<Turns>& others) {
    double worst = -1;
    for (int r = 1; r < 4; ++r) worst = std::max(worst, candidate.turn[0].dot(candidate.turn[r]));
    for (const Turns& other : others)
        for (int r = 0; r < 4; ++r) worst = std::max(worst, candidate.turn[0].dot(other.turn[r]));
    return worst;
}

} // namespace

std::vector<BodyMember> boardMembers(const std::string& body, const BoardLayout& layout) {
    std::vector<BodyMember> members;
    const double pitch = layout.widthMm + layout.gapMm;
    for (int r = 0; r < layout.rows; ++r)
        for (int c = 0; c < layout.cols; ++c) {
            BodyMember member;
            member.pattern = body + "_" + std::to_string(members.size() + 1);
            member.poseKnown = true;
            member.X = c * pitch;
            member.Y = -r * pitch;
            member.widthMm = layout.widthMm;
            members.push_back(member);
        }
    return members;
}

double patternSimilarity(const cv::Mat& a, const cv::Mat& b) { return matcherVector(a).dot(matcherVector(b)); }

std::vector<cv::Mat> designBoardPatterns(int count, const std::vector<cv::Mat>& existing, uint32_t seed,
                                         double& worst) {
    cv::RNG rng(seed ? seed : 1);
    std::vector<Turns> others;
    for (const cv::Mat& pattern : existing) others.emplace_back(pattern);
    std::vector<cv::Mat> designed;
    worst = -1;
    for (int i = 0; i < count; ++i) {
        cv::Mat best;
        double bestScore = INFINITY;
        for (int k = 0; k < kCandidates; ++k) {
            const cv::Mat candidate = randomDesign(rng);
            const double score = worstAgainst(Turns(candidate), others);
            if (score < bestScore) bestScore = score, best = candidate;
        }
        worst = std::max(worst, bestScore);
        designed.push_back(best);
        others.emplace_back(best);
    }
    return designed;
}
