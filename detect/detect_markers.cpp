#include "detect_markers.h"
#include <cmath>
#include "detector_state.h"
#include "labeling.h"
#include "marker_history.h"
#include "refine.h"

namespace {

// Fixed by both entry points; the largest area is the detector's option.
constexpr int kMinArea = 70;
constexpr double kCornerFactor = 1.0;
// Below this a match is no identity.
constexpr double kMinConfidence = 0.5;

void dropLowConfidence(MarkerInfo* markers, int count) {
    for (int i = 0; i < count; ++i)
        if (markers[i].cf < kMinConfidence) markers[i].id = -1;
}

// The stages both entry points share: labeling, squares, marker records.
// The number of markers, or -1 when labeling fails (no markers then).
int detectSquareMarkers(const uint8_t* frame, int threshold, MarkerInfo** markers, int* count) {
    DetectorState& state = detectorState();
    *count = 0;
    state.markerCount = 0;

    const LabelImage* label = labelDarkRegions(frame, threshold);
    if (!label) {
        *markers = state.markers.data();
        return -1;
    }
    int n = 0;
    SquareCandidate* candidates = findSquares(*label, state.options.maxMarkerArea, kMinArea, kCornerFactor, &n);
    buildMarkerInfo(frame, candidates, &n);
    if (state.options.cornerRefine) refineIdentifiedMarkers(frame, state.markers.data(), n);
    *markers = state.markers.data();
    return n;
}

} // namespace

int detectMarkers(const uint8_t* frame, int threshold, MarkerInfo** markers, int* count) {
    const int n = detectSquareMarkers(frame, threshold, markers, count);
    if (n < 0) return -1;
    DetectorState& state = detectorState();
    dropLowConfidence(state.markers.data(), n);
    state.markerCount = n;
    *count = n;
    return 0;
}

int detectMarkersWithHistory(const uint8_t* frame, int threshold, MarkerInfo** markers, int* count) {
    const int n = detectSquareMarkers(frame, threshold, markers, count);
    if (n < 0) return -1;
    DetectorState& state = detectorState();
    MarkerHistory& history = state.history;
    carryIdentities(history, state.markers.data(), n);
    dropLowConfidence(state.markers.data(), n);
    const int total = rememberMarkers(history, state.markers.data(), n, static_cast<int>(state.markers.size()));

    state.markerCount = total;
    *count = total;
    return 0;
}

int largestRegionOverLimit(int maxArea) {
    const LabelImage& label = detectorState().label.result;
    int largest = 0;
    for (int r = 0; r < label.labelCount; ++r) {
        const int32_t* box = label.clipBox + r * 4;
        if (box[0] == 1 || box[1] == label.width - 2 || box[2] == 1 || box[3] == label.height - 2) continue;
        if (label.area[r] > maxArea && label.area[r] > largest) largest = label.area[r];
    }
    return largest;
}

double scaleUnderLimit(int area, int maxArea) { return std::sqrt(0.8 * maxArea / area); }
