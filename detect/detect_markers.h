#pragma once
// The detector's per-frame entry points: from a frame to the list of
// detected squares and their identities.
#include <cstdint>
#include "squares.h"

// Both return the detector's own marker list (valid until the next
// detection), 0, or -1 with no markers when the labeling fails.
int detectMarkers(const uint8_t* frame, int threshold, MarkerInfo** markers, int* count);
// Also carries identities across frames and lists markers lost in the last
// two frames after the current ones. Both lists are bounded: at most
// options.maxSquares current markers (30 by default) plus one per history
// entry (kMaxMarkers in all by default); a full history gives up its least
// recently seen entry for a marker of this frame.
int detectMarkersWithHistory(const uint8_t* frame, int threshold, MarkerInfo** markers, int* count);

// A marker shown close up in a still image (the image it was registered
// from, or one `quillmark marker` draws) is one dark region above the area
// limit, which keeps it out. The largest dark region of the latest labeling
// above `maxArea` whose box stays clear of the labelled frame, as a square
// candidate's must; 0 when there is none.
int largestRegionOverLimit(int maxArea);
// The scale that brings a dark region of `area` pixels to 80 % of `maxArea`
// (a margin for the resampled border's grey edge).
double scaleUnderLimit(int area, int maxArea);
