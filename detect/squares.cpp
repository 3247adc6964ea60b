#include "squares.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include "camera_param.h"
#include "detector_state.h"
#include "marker_history.h"
#include "matrix.h"
#include "pattern.h"
#include "pca.h"

namespace {

constexpr int kMaxCornersPerHalf = 6;
// Closing point included; a contour needing more is not a marker border.
constexpr int kMaxTracedPoints = kMaxContourPoints - 1;

// Neighbour offsets by direction, clockwise from "up" (y grows downwards).
constexpr int kStepX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kStepY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

// Interpolated samples through sub-pixel corners read what whole-pixel
// corners cannot on a small marker, whose cells are fractions of a pixel;
// above this side the whole-pixel sampler reads as well, at a tenth of the cost.
constexpr double kSubPixelCodeMaxSidePx = 64.0;

double longestSide(const double vertex[4][2]) {
    double longest = 0.0;
    for (int k = 0; k < 4; ++k)
        longest = std::max(longest, std::hypot(vertex[(k + 1) % 4][0] - vertex[k][0], vertex[(k + 1) % 4][1] - vertex[k][1]));
    return longest;
}

// Doubling, up to the limit: a crowded scene settles after a few frames
// and the storage is kept from then on.
void growCandidates(std::vector<SquareCandidate>& candidates, int limit) {
    const size_t size = std::min(static_cast<size_t>(limit), std::max<size_t>(1, 2 * candidates.size()));
    candidates.resize(size);
}

// Candidates are blind to one another until here: a region nested inside a
// larger one (a pattern's dark cell inside a border) or close to it goes.
int removeOverlaps(SquareCandidate* candidates, int count) {
    for (int i = 0; i < count; ++i) {
        for (int j = i + 1; j < count; ++j) {
            if (candidates[i].area == 0 || candidates[j].area == 0) continue;
            const double dx = candidates[i].centroid[0] - candidates[j].centroid[0];
            const double dy = candidates[i].centroid[1] - candidates[j].centroid[1];
            const double d2 = dx * dx + dy * dy;
            if (candidates[i].area > candidates[j].area) {
                if (candidates[i].area / 4 > d2) candidates[j].area = 0;
            } else if (candidates[j].area / 4 > d2) {
                candidates[i].area = 0;
            }
        }
    }
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (candidates[i].area == 0) continue;
        if (kept != i) {
            // Copy only the used part of the 80 KB contour arrays.
            SquareCandidate& to = candidates[kept];
            const SquareCandidate& from = candidates[i];
            to.area = from.area;
            to.centroid[0] = from.centroid[0];
            to.centroid[1] = from.centroid[1];
            to.contourLength = from.contourLength;
            std::copy(from.xCoord, from.xCoord + from.contourLength, to.xCoord);
            std::copy(from.yCoord, from.yCoord + from.contourLength, to.yCoord);
            std::copy(from.cornerIndex, from.cornerIndex + 5, to.cornerIndex);
        }
        ++kept;
    }
    return kept;
}

// The principal axis through the points (one a row) as (a, b, c) with
// (a, b) the unit normal, its sign the eigenvector's.
int principalLine(const Matrix* points, double line[3]) {
    Matrix* evec = allocMatrix(2, 2);
    Vector* ev = allocVector(2);
    Vector* mean = allocVector(2);
    int result = -1;
    if (evec && ev && mean && principalComponents(points, evec, ev, mean) == 0) {
        const double ex = at(evec, 0, 0), ey = at(evec, 0, 1);
        const double mx = mean->v[0], my = mean->v[1];
        line[0] = ey;
        line[1] = -ex;
        line[2] = -(ey * mx - ex * my);
        result = 0;
    }
    if (evec) freeMatrix(evec);
    if (ev) freeVector(ev);
    if (mean) freeVector(mean);
    return result;
}

// The line through the ideal positions of contour points first..last.
int fitSide(const int32_t* xCoord, const int32_t* yCoord, int first, int last, const double distortion[4],
            double line[3]) {
    const int n = last - first + 1;
    if (n < 2) return -1;
    Matrix* points = allocMatrix(n, 2);
    if (!points) return -1;
    for (int i = 0; i < n; ++i)
        observedToIdeal(distortion, xCoord[first + i], yCoord[first + i], &at(points, i, 0), &at(points, i, 1));
    const int result = principalLine(points, line);
    freeMatrix(points);
    return result;
}

} // namespace

int traceContour(const int16_t* labels, const int32_t* labelMap, int region, const int32_t clipBox[4],
                 SquareCandidate* candidate) {
    const int width = detectorState().camera.xsize;
    int32_t* xs = candidate->xCoord;
    int32_t* ys = candidate->yCoord;

    const int sy = clipBox[2];
    int sx = -1;
    for (int x = clipBox[0]; x <= clipBox[1]; ++x) {
        const int16_t p = labels[sy * width + x];
        if (p > 0 && labelMap[p - 1] == region) {
            sx = x;
            break;
        }
    }
    if (sx < 0) {
        printf("??? 1\n");
        return -1;
    }

    xs[0] = sx;
    ys[0] = sy;
    int count = 1;
    int d = 5;
    int x = sx, y = sy;
    for (;;) {
        d = (d + 5) % 8;
        int probes = 0;
        while (probes < 8 && labels[(y + kStepY[d]) * width + x + kStepX[d]] <= 0) {
            d = (d + 1) % 8;
            ++probes;
        }
        if (probes == 8) {
            printf("??? 2\n");
            return -1;
        }
        x += kStepX[d];
        y += kStepY[d];
        if (x == sx && y == sy) break;
        xs[count] = x;
        ys[count] = y;
        if (++count == kMaxTracedPoints) {
            printf("??? 3\n");
            return -1;
        }
    }

    // Start at the point farthest from the top-left start: always a corner.
    int far = 0;
    int farDistance = 0;
    for (int i = 1; i < count; ++i) {
        const int dist = (xs[i] - sx) * (xs[i] - sx) + (ys[i] - sy) * (ys[i] - sy);
        if (dist > farDistance) {
            farDistance = dist;
            far = i;
        }
    }
    std::rotate(xs, xs + far, xs + count);
    std::rotate(ys, ys + far, ys + count);
    xs[count] = xs[0];
    ys[count] = ys[0];
    candidate->contourLength = count + 1;
    return 0;
}

int splitAtFarthest(const int32_t* xCoord, const int32_t* yCoord, int first, int last, double threshold,
                    int* corners, int* cornerCount) {
    const double a = yCoord[last] - yCoord[first];
    const double b = xCoord[first] - xCoord[last];
    const double c = static_cast<double>(xCoord[last] * yCoord[first] - yCoord[last] * xCoord[first]);
    double farthest = 0.0;
    int found = -1;
    for (int i = first + 1; i < last; ++i) {
        const double v = a * xCoord[i] + b * yCoord[i] + c;
        if (v * v > farthest) {
            farthest = v * v;
            found = i;
        }
    }
    if (!(farthest / (a * a + b * b) > threshold)) return 0;

    if (splitAtFarthest(xCoord, yCoord, first, found, threshold, corners, cornerCount) < 0) return -1;
    if (*cornerCount == kMaxCornersPerHalf) return -1;
    corners[(*cornerCount)++] = found;
    return splitAtFarthest(xCoord, yCoord, found, last, threshold, corners, cornerCount);
}

int findCorners(int area, SquareCandidate* candidate, double factor) {
    const int32_t* xs = candidate->xCoord;
    const int32_t* ys = candidate->yCoord;
    const int L = candidate->contourLength;

    int F = 0;
    int farDistance = 0;
    for (int i = 1; i < L - 1; ++i) {
        const int dist = (xs[i] - xs[0]) * (xs[i] - xs[0]) + (ys[i] - ys[0]) * (ys[i] - ys[0]);
        if (dist > farDistance) {
            farDistance = dist;
            F = i;
        }
    }
    // A side may bulge by about 1/75 of the area (squared pixels) before its
    // farthest point counts as a corner.
    const double threshold = (area / 0.75) * 0.01 * factor;

    int a[kMaxCornersPerHalf], b[kMaxCornersPerHalf];
    int na = 0, nb = 0;
    if (splitAtFarthest(xs, ys, 0, F, threshold, a, &na) < 0) return -1;
    if (splitAtFarthest(xs, ys, F, L - 1, threshold, b, &nb) < 0) return -1;

    int corner[3];
    if (na == 1 && nb == 1) {
        corner[0] = a[0];
        corner[1] = F;
        corner[2] = b[0];
    } else if (na > 1 && nb == 0) {
        // Point 0 and F are neighbouring corners: both others lie on one side.
        const int M = F / 2;
        na = nb = 0;
        if (splitAtFarthest(xs, ys, 0, M, threshold, a, &na) < 0) return -1;
        if (splitAtFarthest(xs, ys, M, F, threshold, b, &nb) < 0) return -1;
        if (na != 1 || nb != 1) return -1;
        corner[0] = a[0];
        corner[1] = b[0];
        corner[2] = F;
    } else if (na == 0 && nb > 1) {
        const int M = (F + L - 1) / 2;
        na = nb = 0;
        if (splitAtFarthest(xs, ys, F, M, threshold, a, &na) < 0) return -1;
        if (splitAtFarthest(xs, ys, M, L - 1, threshold, b, &nb) < 0) return -1;
        if (na != 1 || nb != 1) return -1;
        corner[0] = F;
        corner[1] = a[0];
        corner[2] = b[0];
    } else {
        return -1;
    }
    candidate->cornerIndex[0] = 0;
    candidate->cornerIndex[1] = corner[0];
    candidate->cornerIndex[2] = corner[1];
    candidate->cornerIndex[3] = corner[2];
    candidate->cornerIndex[4] = L - 1;
    return 0;
}

SquareCandidate* findSquares(const LabelImage& labelImage, int maxArea, int minArea, double factor,
                             int* count) {
    DetectorState& state = detectorState();
    const int W = labelImage.width;
    const int H = labelImage.height;
    const int limit = state.options.maxSquares;
    int n = 0;
    for (int region = 1; region <= labelImage.labelCount && n < limit; ++region) {
        const int area = labelImage.area[region - 1];
        if (area < minArea || area > maxArea) continue;
        const int32_t* box = labelImage.clipBox + (region - 1) * 4;
        // Touching the unlabelled frame means the square may be cut off.
        if (box[0] == 1 || box[1] == W - 2 || box[2] == 1 || box[3] == H - 2) continue;
        if (n == static_cast<int>(state.candidates.size())) growCandidates(state.candidates, limit);
        SquareCandidate* candidate = &state.candidates[n];
        if (traceContour(labelImage.labels, labelImage.labelMap, region, box, candidate) < 0) continue;
        if (findCorners(area, candidate, factor) < 0) continue;
        candidate->area = area;
        candidate->centroid[0] = labelImage.centroid[(region - 1) * 2];
        candidate->centroid[1] = labelImage.centroid[(region - 1) * 2 + 1];
        ++n;
    }
    SquareCandidate* candidates = state.candidates.data();
    n = removeOverlaps(candidates, n);
    state.candidateCount = n;
    *count = n;
    return candidates;
}

int fitMarkerEdges(const int32_t* xCoord, const int32_t* yCoord, const int32_t cornerIndex[5],
                   double line[4][3], double vertex[4][2]) {
    const double* distortion = detectorState().camera.param.distortion;
    for (int k = 0; k < 4; ++k) {
        const int s = cornerIndex[k];
        const int e = cornerIndex[k + 1];
        // Keep clear of the rounded corners: trim about 5 % of the side at each end.
        const double w = (e - s + 1) * 0.05 + 0.5;
        const int first = static_cast<int>(s + w);
        const int last = static_cast<int>(e - w);
        if (fitSide(xCoord, yCoord, first, last, distortion, line[k]) < 0) return -1;
    }
    return intersectEdgeLines(line, vertex);
}

int fitEdgeLine(const double* xs, const double* ys, int n, double line[3]) {
    if (n < 2) return -1;
    Matrix* points = allocMatrix(n, 2);
    if (!points) return -1;
    for (int i = 0; i < n; ++i) at(points, i, 0) = xs[i], at(points, i, 1) = ys[i];
    const int result = principalLine(points, line);
    freeMatrix(points);
    return result;
}

int intersectEdgeLines(const double line[4][3], double vertex[4][2]) {
    for (int k = 0; k < 4; ++k) {
        const double* P = line[(k + 3) % 4];
        const double* Q = line[k];
        const double det = P[0] * Q[1] - Q[0] * P[1];
        if (det == 0.0) return -1;
        vertex[k][0] = (P[1] * Q[2] - Q[1] * P[2]) / det;
        vertex[k][1] = (Q[0] * P[2] - P[0] * Q[2]) / det;
    }
    return 0;
}

MarkerInfo* buildMarkerInfo(const uint8_t* frame, SquareCandidate* candidates, int* count) {
    DetectorState& state = detectorState();
    // Every candidate may become a marker, and history appends one per entry.
    const size_t needed = static_cast<size_t>(*count) + kMaxHistory;
    if (state.markers.size() < needed) state.markers.resize(needed);
    MarkerInfo* markers = state.markers.data();
    const bool subPixelCode = state.options.autoThreshold || state.options.cornerRefine;
    int n = 0;
    for (int i = 0; i < *count; ++i) {
        const SquareCandidate& candidate = candidates[i];
        MarkerInfo& marker = markers[n];
        marker.area = candidate.area;
        marker.pos[0] = candidate.centroid[0];
        marker.pos[1] = candidate.centroid[1];
        if (fitMarkerEdges(candidate.xCoord, candidate.yCoord, candidate.cornerIndex, marker.line,
                           marker.vertex) < 0)
            continue;
        if (subPixelCode && longestSide(marker.vertex) <= kSubPixelCodeMaxSidePx)
            identifyPatternAt(frame, marker.vertex, &marker.id, &marker.dir, &marker.cf);
        else
            identifyPattern(frame, candidate.xCoord, candidate.yCoord, candidate.cornerIndex, &marker.id,
                            &marker.dir, &marker.cf);
        ++n;
    }
    *count = n;
    return markers;
}
