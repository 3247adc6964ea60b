#pragma once
// Square extraction: candidate regions, contours and corners, fitted edge
// lines, sub-pixel vertices and identities. The per-frame entry points that
// run it are in detect_markers.h.
#include <cstdint>
#include "labeling.h"

constexpr int kMaxCandidates = 30;
constexpr int kMaxContourPoints = 10000;

struct SquareCandidate {
    int32_t area;
    double centroid[2];
    int32_t contourLength; // closing point included
    int32_t xCoord[kMaxContourPoints];
    int32_t yCoord[kMaxContourPoints];
    int32_t cornerIndex[5];
};

struct MarkerInfo {
    int32_t area;
    int32_t id;         // pattern id, -1 when unidentified
    int32_t dir;        // matched rotation 0..3, or -1
    double cf;          // normalised correlation of the match
    double pos[2];      // region centroid, observed pixels
    double line[4][3];  // a x + b y + c = 0 in ideal pixels, (a, b) unit
    double vertex[4][2];// ideal pixels; vertex k = line k-1 x line k
};

// Fills the detector's candidate list; returns it and its count.
SquareCandidate* findSquares(const LabelImage& labelImage, int maxArea, int minArea, double factor,
                             int* count);
int traceContour(const int16_t* labels, const int32_t* labelMap, int region, const int32_t clipBox[4],
                 SquareCandidate* candidate);
int findCorners(int area, SquareCandidate* candidate, double factor);
int splitAtFarthest(const int32_t* xCoord, const int32_t* yCoord, int first, int last, double threshold,
                    int* corners, int* cornerCount);
MarkerInfo* buildMarkerInfo(const uint8_t* frame, SquareCandidate* candidates, int* count);
int fitMarkerEdges(const int32_t* xCoord, const int32_t* yCoord, const int32_t cornerIndex[5],
                   double line[4][3], double vertex[4][2]);
// The principal axis of n >= 2 points as (a, b, c), a x + b y + c = 0 with
// (a, b) a unit normal; -1 when the points coincide.
int fitEdgeLine(const double* xs, const double* ys, int n, double line[3]);
// Vertex k = line k-1 x line k; -1 when two neighbouring lines are parallel.
int intersectEdgeLines(const double line[4][3], double vertex[4][2]);
