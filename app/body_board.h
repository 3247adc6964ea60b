#pragma once
// A flat body to print: a grid of new markers whose layout is known from
// the print itself, so it needs no measuring. Its patterns are designed to
// differ from each other and from the catalogue's in every quarter turn.
#include <string>
#include <vector>
#include <opencv2/core.hpp>
#include "bodies.h"

struct BoardLayout {
    int cols = 0, rows = 0;
    double widthMm = 0;  // side of each black square
    double gapMm = 0;    // paper between neighbouring black squares
};

// Above the detector's identity cut of 0.5 a marker could be taken for
// another pattern or another turn of itself; the design stays well below.
constexpr double kBoardMaxSimilarity = 0.5;

// The members of a board body, in reading order from the top left, named
// BODY_1, BODY_2, ...: the first at the origin, its axes the body's, the
// others at (c (w + gap), -r (w + gap), 0) with the same axes, as printed.
std::vector<BodyMember> boardMembers(const std::string& body, const BoardLayout& layout);

// `count` 16 x 16 patterns, repeatable for `seed`, each as different as the
// design can make it from every quarter turn of the others, of itself and
// of `existing` (the catalogue's). `worst` receives the largest similarity
// (the detector's score) between any two of them or their turns.
std::vector<cv::Mat> designBoardPatterns(int count, const std::vector<cv::Mat>& existing, uint32_t seed,
                                         double& worst);

// The detector's score between two patterns: inverted, mean removed, cosine.
double patternSimilarity(const cv::Mat& a, const cv::Mat& b);
