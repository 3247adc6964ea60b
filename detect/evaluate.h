#pragma once
// Per-frame evaluation: detected squares of catalogued patterns become
// report records with pattern-order vertices, direction and pose.
#include <cstdint>
#include "marker_result.h"
#include "pattern_entry.h"
#include "detect_markers.h"

constexpr int DETECT_THRESHOLD = 100;
constexpr double MIN_CONFIDENCE = 0.6;

// Appends one record per accepted marker to `table` (the caller holds the
// table's lock and has emptied it). 0, or -1 on null pixels or a failed detection.
int evaluateMarkers(const uint8_t* pixels, const Catalogue& catalogue, ResultTable& table);
void fillMarkerResult(MarkerResult& result, const MarkerInfo& marker);
void toGLMatrix(const double transform[3][4], double gl[16]);
