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
// A pattern whose values are mostly the sum of a row profile and a column
// profile (tag36h11 id 48: dark rows over light rows, one light block) is
// matched by anything that changes along one axis of the sampled square: a
// candidate across a shadow's edge, a bar or sliver sampled across its
// width, a gradient. A code that is nothing but such profiles scores the
// square root of that share (0.92 for id 48), above the report's cut. Such
// a match is believed when the rest of the pattern, what no edge or ramp
// has, is matched too, or when the code's light and dark cells separate by
// a marker's share of the border's contrast on a ring dark on every side.
constexpr double kProfileShare = 0.6;
constexpr double kMinResidualScore = 0.5;
constexpr double kMinSeparationShare = 0.55, kMaxSeparationShare = 1.6;
// A marker seen this steeply (78 degrees) has cells too thin to read; a
// candidate this thin is a bar whose sampled interior runs across it, and
// one whose ring cannot be sampled is no square in view. Neither holds for
// any marker found on the real photographs or the renders.
constexpr double kMinSideRatio = 0.2;

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

// Removes each row's and each column's mean (adding back the overall mean):
// what is left of a 16 x 16 grid no edge or ramp along its axes can give.
void removeProfiles(const double in[kPatternSide * kPatternSide], double out[kPatternSide * kPatternSide]) {
    double row[kPatternSide] = {}, column[kPatternSide] = {}, mean = 0.0;
    for (int r = 0; r < kPatternSide; ++r)
        for (int c = 0; c < kPatternSide; ++c) {
            const double v = in[r * kPatternSide + c];
            row[r] += v / kPatternSide;
            column[c] += v / kPatternSide;
            mean += v / (kPatternSide * kPatternSide);
        }
    for (int r = 0; r < kPatternSide; ++r)
        for (int c = 0; c < kPatternSide; ++c) out[r * kPatternSide + c] = in[r * kPatternSide + c] - row[r] - column[c] + mean;
}

double sumOfSquares(const double* v, int n, double mean = 0.0) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += (v[i] - mean) * (v[i] - mean);
    return s;
}

// The match of `code` against one rotation of a pattern, split into what
// row and column profiles give and what they do not.
struct ProfileSplit {
    double share = 0.0;         // of the pattern's variance, given by its profiles
    double residualScore = 0.0; // correlation of code and pattern less their profiles
    double separation = 0.0;    // grey of the code's cells the pattern has light, less the dark ones
};

ProfileSplit splitByProfiles(const PatternCode& code, const PatternTemplate& slot, int dir) {
    constexpr int n = kPatternSide * kPatternSide;
    double grey[n], light[n];
    for (int i = 0; i < n; ++i) {
        grey[i] = greyOf(code, i / kPatternSide, i % kPatternSide);
        const int16_t* v = slot.code[dir] + i * kPatternPlanes;
        light[i] = -(v[0] + v[1] + v[2]) / 3.0; // stored inverted
    }
    ProfileSplit split;
    double lightMean = 0.0, lo = light[0], hi = light[0];
    for (int i = 0; i < n; ++i) {
        lightMean += light[i] / n;
        lo = std::min(lo, light[i]);
        hi = std::max(hi, light[i]);
    }
    double greyRest[n], lightRest[n];
    removeProfiles(grey, greyRest);
    removeProfiles(light, lightRest);
    const double total = sumOfSquares(light, n, lightMean);
    const double rest = sumOfSquares(lightRest, n);
    if (total <= 0.0) return split;
    split.share = 1.0 - rest / total;
    double dot = 0.0;
    for (int i = 0; i < n; ++i) dot += greyRest[i] * lightRest[i];
    const double norms = std::sqrt(sumOfSquares(greyRest, n) * rest);
    split.residualScore = norms > 0.0 ? dot / norms : 0.0;
    double lightSum = 0.0, darkSum = 0.0;
    int lightCount = 0, darkCount = 0;
    for (int i = 0; i < n; ++i) {
        if (light[i] > (lo + hi) / 2) lightSum += grey[i], ++lightCount;
        else darkSum += grey[i], ++darkCount;
    }
    if (lightCount > 0 && darkCount > 0) split.separation = lightSum / lightCount - darkSum / darkCount;
    return split;
}

bool checksShape = true;

double shortestOverLongestSide(const double quad[4][2]) {
    double shortest = INFINITY, longest = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double side = std::hypot(quad[(k + 1) % 4][0] - quad[k][0], quad[(k + 1) % 4][1] - quad[k][1]);
        shortest = std::min(shortest, side);
        longest = std::max(longest, side);
    }
    return longest > 0.0 ? shortest / longest : 0.0;
}

// False for a match below the trusted score on a candidate that cannot be
// a square in view (a sliver, or one whose ring folds over or leaves the
// frame), and for a match to a pattern made mostly of profiles that
// neither the rest of the pattern nor the border's contrast bears out.
bool shapeBearsOutMatch(const uint8_t* frame, const double quad[4][2], const PatternCode& code, const RankedMatch& match) {
    if (!checksShape) return true;
    const ProfileSplit split = splitByProfiles(code, detectorState().patterns.slot[match.id], match.dir);
    const bool profileOnly = split.share >= kProfileShare && split.residualScore < kMinResidualScore;
    if (!profileOnly && match.cf >= kTrustedScore) return true;
    if (shortestOverLongestSide(quad) < kMinSideRatio) return false;
    BorderContrast ring;
    if (!sampleBorderContrast(frame, quad, true, &ring)) return false;
    if (!profileOnly) return true;
    const double contrast = ring.overall();
    return contrast > 0.0 && ring.weakestSide() >= kMinSideShare * contrast &&
           split.separation >= kMinSeparationShare * contrast && split.separation <= kMaxSeparationShare * contrast;
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
    if (!shapeBearsOutMatch(frame, quad, code, *match)) {
        *match = RankedMatch{};
        return;
    }
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

void setShapeChecks(bool on) {
    checksShape = on;
}
