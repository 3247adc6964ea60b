#pragma once
// Binarisation and 8-connected labeling of dark regions in a BGRA frame.
#include <cstdint>

constexpr int kMaxProvisionalLabels = 32767;
constexpr int kLabelTableSize = 32768;

// Valid until the next labeling. Consumers map `labels` through `labelMap`.
struct LabelImage {
    const int16_t* labels = nullptr; // width x height provisional labels, 0 = bright or frame
    int width = 0;
    int height = 0;
    int labelCount = 0;              // regions 1..labelCount
    const int32_t* area = nullptr;   // [labelCount]
    const double* centroid = nullptr;// [labelCount][2]: x, y
    const int32_t* clipBox = nullptr;// [labelCount][4]: min x, max x, min y, max y
    const int32_t* labelMap = nullptr;// [provisional label - 1] -> final label
};

// Labels the working-size frame (4 bytes a pixel, rows unpadded). Null when
// more than 32767 provisional labels would be needed.
const LabelImage* labelDarkRegions(const uint8_t* frame, int threshold);
