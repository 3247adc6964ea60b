#pragma once
// What a candidate must show before its best match is believed, and what a
// pattern must show before it is registered. A dark square without a code
// (a chessboard's square, a window at night) correlates with a sparse
// pattern through its noise alone, so the match score says nothing there.
#include <cstdint>
#include <string>
#include <vector>
#include "pattern.h"

// Grey levels (the mean of the three planes) around a candidate: its black
// border against the lighter surround, sampled on a ring just inside and
// just outside the square's edge, per side (0: vertex 0 to 1, ...).
struct BorderContrast {
    double border[4];
    double surround[4];
    // Surround minus border over the whole ring.
    double overall() const;
    // The side with the least surround minus border.
    double weakestSide() const;
};

// The spread (standard deviation, grey levels) of a sampled code's values.
double codeSpread(const PatternCode& code);

// `quad` in observed pixels, vertex order of identification; `fine`
// interpolates on markers up to 64 px. False when the ring cannot be
// sampled (a point at infinity).
bool sampleBorderContrast(const uint8_t* frame, const double quad[4][2], bool fine, BorderContrast* contrast);

// The best match of `code` and the best score of any other pattern.
struct RankedMatch {
    int id = -1, dir = -1;
    double cf = 0.0;
    double runnerUp = 0.0;
};

// Refuses (id -1, dir -1, cf 0) a match at or above the detector's cut on a
// candidate whose interior is flat against its border's contrast, that is
// too thin or too skewed to be a square in view (below a trusted score),
// or whose match rests on a pattern's row and column profiles alone; with the
// options' verification also one that is too close to another pattern,
// whose border is not dark all round, or whose contrast falls far short of
// its pattern's own. `quad` as for sampleBorderContrast.
void checkIdentity(const uint8_t* frame, const double quad[4][2], const PatternCode& code, RankedMatch* match);

// The checks of a candidate's shape and of a match to a pattern made mostly
// of row and column profiles are on; a benchmark turns them off to time
// them. Not for use while frames run.
void setShapeChecks(bool on);

// A pattern about to be registered (rotation 0 of its code): an empty
// string when it can be told apart, else why not. `similar` receives the
// ids of loaded patterns it is close to (score above 0.9 in any rotation).
std::string patternContrastProblem(const PatternCode& code);
std::vector<int> similarPatterns(const PatternCode& code, double* score = nullptr);
// The values' spread a pattern needs, in grey levels.
constexpr double kMinPatternSpread = 12.0;
constexpr double kSimilarPatternScore = 0.9;
