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
