#include "identity_check.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include "detector_state.h"

namespace {

// Below this the detector does not keep an identity (squares.cpp); a
// refusal only matters for matches that would be kept.
constexpr double kKeptScore = 0.5;
// A flat interior, noise and a stain, spreads its code by a few grey
// levels, a small share of the contrast between the border and the surround;
// a marker's code, ink and paper, by a third of that contrast or more, and by
// 20 grey levels at least on the real photographs measured. Refused: under
// both this share and this many grey levels.
constexpr double kFlatInteriorRatio = 0.12;
constexpr double kFlatInteriorSpread = 12.0;
// Verification: the best pattern this far ahead of any other; every side's
// border this share of the whole ring's contrast; the pattern, fitted to the
// code, printed with at least this share of the border's contrast and its
// code spreading at most this many times what the pattern predicts.
constexpr double kMinMargin = 0.05;
constexpr double kMinSideShare = 0.3;
constexpr double kMinPrintedShare = 0.58;
constexpr double kMaxSpreadOverPattern = 2.0;
// A match this close is not met by chance (phantoms stay below 0.8): it is
// believed without sampling the ring, which costs as much as the code.
constexpr double kTrustedScore = 0.85;

double greyOf(const PatternCode& code, int row, int column) {
    const uint8_t* v = code.value + (row * kPatternSide + column) * kPatternPlanes;
    return (v[0] + v[1] + v[2]) / 3.0;
}

// Side k of the ring cells at `depth` cells in from the sampled square's
// edge: row `depth` for side 0 (vertex 0 to 1), then clockwise.
double sideMean(const PatternCode& code, int side, int depth) {
    const int last = kPatternSide - 1 - depth;
    double sum = 0.0;
    for (int t = depth; t <= last; ++t) {
        switch (side) {
        case 0: sum += greyOf(code, depth, t); break;
        case 1: sum += greyOf(code, t, last); break;
        case 2: sum += greyOf(code, last, t); break;
        default: sum += greyOf(code, t, depth); break;
        }
    }
    return sum / (last - depth + 1);
}

void project(const double P[3][3], double x, double y, double* u, double* v, double* d) {
    *d = P[2][0] * x + P[2][1] * y + P[2][2];
    *u = (P[0][0] * x + P[0][1] * y + P[0][2]) / *d;
    *v = (P[1][0] * x + P[1][1] * y + P[1][2]) / *d;
}

bool ringMeans(const PatternCode& ring, BorderContrast* contrast) {
    for (int k = 0; k < 4; ++k) {
        contrast->surround[k] = sideMean(ring, k, 0);
        contrast->border[k] = sideMean(ring, k, 2);
    }
    return true;
}

constexpr double kInterpolatedRingMaxSidePx = 64.0;

// The spread of a loaded pattern over its own range: a sparse pattern
// spreads little even when printed at full contrast.
double patternContrastShare(const PatternTemplate& slot, int dir) {
    int lo = 255, hi = -255;
    for (int i = 0; i < kPatternValues; ++i) {
        lo = std::min<int>(lo, slot.code[dir][i]);
        hi = std::max<int>(hi, slot.code[dir][i]);
    }
    if (hi <= lo) return 0.0;
    return slot.norm[dir] / std::sqrt(static_cast<double>(kPatternValues)) / (hi - lo);
}

// The code as the matcher sees it: inverted, mean removed; returns its norm.
double centredInput(const PatternCode& code, int16_t input[kPatternValues]) {
    int32_t sum = 0;
    for (int i = 0; i < kPatternValues; ++i) sum += 255 - code.value[i];
    const int32_t mean = sum / kPatternValues;
    int32_t squares = 0;
    for (int i = 0; i < kPatternValues; ++i) {
        input[i] = static_cast<int16_t>(255 - code.value[i] - mean);
        squares += input[i] * input[i];
    }
    return std::sqrt(static_cast<double>(squares));
}

// The best score of one loaded pattern over its four rotations.
double bestRotationScore(const int16_t input[kPatternValues], double power, const PatternTemplate& slot) {
    double top = 0.0;
    for (int r = 0; r < kPatternRotations; ++r) {
        int32_t dot = 0;
        for (int i = 0; i < kPatternValues; ++i) dot += input[i] * slot.code[r][i];
        top = std::max(top, dot / slot.norm[r] / power);
    }
    return top;
}

} // namespace

double BorderContrast::overall() const {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) sum += surround[k] - border[k];
    return sum / 4;
}

double BorderContrast::weakestSide() const {
    double weakest = surround[0] - border[0];
    for (int k = 1; k < 4; ++k) weakest = std::min(weakest, surround[k] - border[k]);
    return weakest;
}

double codeSpread(const PatternCode& code) {
    int32_t sum = 0;
    for (int i = 0; i < kPatternValues; ++i) sum += code.value[i];
    const double mean = static_cast<double>(sum) / kPatternValues;
    double squares = 0.0;
    for (int i = 0; i < kPatternValues; ++i) squares += (code.value[i] - mean) * (code.value[i] - mean);
    return std::sqrt(squares / kPatternValues);
}

bool sampleBorderContrast(const uint8_t* frame, const double quad[4][2], bool fine, BorderContrast* contrast) {
    // The marker is 100..110 in these coordinates, its border 100..102.5.
    // The square 92.5..117.5 has the inner half 98.75..111.25, so the
    // sampler's outermost cells (0.78 units each) lie on the surround just
    // outside the edge and its third ring on the border just inside it.
    const double reference[4][2] = {{100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
    double P[3][3];
    solveProjectiveParams(reference, quad, P);
    const double outer[4][2] = {{92.5, 92.5}, {117.5, 92.5}, {117.5, 117.5}, {92.5, 117.5}};
    double enlarged[4][2];
    double firstSign = 0.0;
    for (int k = 0; k < 4; ++k) {
        double d;
        project(P, outer[k][0], outer[k][1], &enlarged[k][0], &enlarged[k][1], &d);
        // All four in front of the vanishing line, or the ring folds over.
        if (!std::isfinite(enlarged[k][0]) || !std::isfinite(enlarged[k][1]) || d == 0.0) return false;
        if (k == 0) firstSign = d;
        else if ((d > 0) != (firstSign > 0)) return false;
    }
    // Whole-pixel samples cost a tenth of interpolated ones and tell a flat
    // interior well enough; the finer tests of verification need
    // interpolation on a small marker, whose ring cells are a pixel or two.
    PatternCode ring;
    double side = 0.0;
    for (int k = 0; k < 4; ++k) side = std::max(side, std::hypot(quad[(k + 1) % 4][0] - quad[k][0], quad[(k + 1) % 4][1] - quad[k][1]));
    if (fine && side <= kInterpolatedRingMaxSidePx) {
        if (samplePatternCodeAt(frame, enlarged, &ring) < 0) return false;
        return ringMeans(ring, contrast);
    }
    int xs[4], ys[4];
    for (int k = 0; k < 4; ++k) {
        if (std::fabs(enlarged[k][0]) > 1e6 || std::fabs(enlarged[k][1]) > 1e6) return false;
        xs[k] = static_cast<int>(std::lround(enlarged[k][0]));
        ys[k] = static_cast<int>(std::lround(enlarged[k][1]));
    }
    const int order[4] = {0, 1, 2, 3};
    if (samplePatternCode(frame, xs, ys, order, &ring) < 0) return false;
    return ringMeans(ring, contrast);
}

void checkIdentity(const uint8_t* frame, const double quad[4][2], const PatternCode& code, RankedMatch* match) {
    if (match->id < 0 || match->cf < kKeptScore) return;
    const bool verify = detectorState().options.verifyMarkers;
    const double spread = codeSpread(code);
    // A spread this large passes the default test whatever the ring shows,
    // and the ring, which costs as much as the code, is not sampled.
    if (spread >= kFlatInteriorSpread) {
        if (!verify || match->cf >= kTrustedScore) return;
    }
    if (verify && match->cf - match->runnerUp < kMinMargin) {
        *match = RankedMatch{};
        return;
    }
    BorderContrast ring;
    if (!sampleBorderContrast(frame, quad, verify, &ring)) {
        if (verify) *match = RankedMatch{};
        return;
    }
    const double contrast = ring.overall();
    const double own = patternContrastShare(detectorState().patterns.slot[match->id], match->dir);
    bool refused = spread < kFlatInteriorSpread && spread < kFlatInteriorRatio * contrast;
    if (verify && !refused) {
        // The code's spread over the spread the pattern would show at the
        // border's contrast; times the correlation, the share of that
        // contrast with which the pattern itself is seen.
        const double overPattern = contrast > 0.0 && own > 0.0 ? spread / (own * contrast) : 0.0;
        refused = contrast <= 0.0 || ring.weakestSide() < kMinSideShare * contrast || match->cf * overPattern < kMinPrintedShare ||
                  overPattern > kMaxSpreadOverPattern;
    }
    if (refused) *match = RankedMatch{};
}

std::string patternContrastProblem(const PatternCode& code) {
    const double spread = codeSpread(code);
    if (spread >= kMinPatternSpread) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "the square has no pattern inside its border (its values spread %.1f grey levels, %.0f are "
                  "needed), so anything dark would match it",
                  spread, kMinPatternSpread);
    return text;
}

std::vector<int> similarPatterns(const PatternCode& code, double* score) {
    std::vector<int> similar;
    double best = 0.0;
    int16_t input[kPatternValues];
    const double power = centredInput(code, input);
    const PatternTable& patterns = detectorState().patterns;
    for (int s = 0; power > 0.0 && s < kPatternSlots; ++s) {
        if (patterns.slot[s].state == Free) continue;
        const double top = bestRotationScore(input, power, patterns.slot[s]);
        best = std::max(best, top);
        if (top > kSimilarPatternScore) similar.push_back(s);
    }
    if (score) *score = best;
    return similar;
}
