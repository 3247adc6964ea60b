#pragma once
// The detector's own values built from what a test writes down: a matrix
// from its entries row by row, the code of a 16 x 16 pattern image.
#include <initializer_list>
#include <opencv2/core.hpp>
#include "matrix.h"
#include "pattern.h"

// Freed by the caller with freeMatrix.
inline Matrix* makeMatrix(int rows, int cols, std::initializer_list<double> values) {
    Matrix* a = allocMatrix(rows, cols);
    int i = 0;
    for (double v : values) a->m[i++] = v;
    return a;
}

// The code a 16 x 16 BGR pattern image is matched by: row by row, three
// channels a cell.
inline PatternCode codeOf(const cv::Mat& pattern) {
    PatternCode code;
    for (int row = 0; row < 16; ++row)
        for (int column = 0; column < 16; ++column)
            for (int plane = 0; plane < 3; ++plane)
                code.value[(row * 16 + column) * 3 + plane] = pattern.at<cv::Vec3b>(row, column)[plane];
    return code;
}
