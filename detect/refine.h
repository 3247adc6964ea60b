#pragma once
// Sub-pixel refinement of a detected square's sides from the grey levels of
// the frame. The contour runs through the centres of the outermost dark
// pixels, so a fitted side sits about half a pixel inside the printed edge;
// here each side is found again where the grey level across it crosses
// halfway between the border's dark and the paper's light, and the corners
// are the intersections of the refitted lines.
#include <cstdint>
#include "squares.h"

// A refined side's line never lies farther than this from the ends of its
// contour side: a side that would move farther keeps its contour line.
constexpr double kRefineMaxShiftPx = 2.0;

// Refines one marker's `line` and `vertex` (ideal pixels) from `frame`
// (4 bytes a pixel, rows unpadded, width x height, observed pixels) seen
// through the lens `distortion`. A side whose profiles show no clean edge
// (flat, saturated, off the frame, crossed by other dark shapes) keeps its
// line; nothing else of the marker changes. The number of sides refined.
int refineMarkerEdges(const uint8_t* frame, int width, int height, const double distortion[4],
                      MarkerInfo& marker);

// The detector's own use: every marker of the list that carries an identity
// is refined in the working frame with the working camera.
void refineIdentifiedMarkers(const uint8_t* frame, MarkerInfo* markers, int count);
