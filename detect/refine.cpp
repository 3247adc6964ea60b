#include "refine.h"
#include <algorithm>
#include <cmath>
#include <vector>
#include "bilinear.h"
#include "camera_param.h"
#include "detector_state.h"
#include "squares.h"

namespace {

// Profile samples every half pixel along the side's normal.
constexpr double kProfileStepPx = 0.5;
// Half the profile's length: a tenth of the side, within these bounds. It
// must reach past the blur on both sides of the edge (a blur of 1.2 px
// spreads the edge over about 3 px each way) yet stay inside the black border
// (an eighth of the side for a tag, a quarter for a pattern in its border).
constexpr double kMinHalfWindowPx = 2.0;
constexpr double kMaxHalfWindowPx = 4.0;
// Stations along the middle of each side, clear of the rounded corners.
constexpr double kFirstStation = 0.12;
constexpr double kStationSpan = 0.76;
constexpr int kMaxStations = 16;
constexpr int kMinStations = 4;
// Dark and light levels (channel sums, 0..765) closer than this are no edge.
constexpr double kMinContrast = 3 * 24.0;
// Rounds of levels taken symmetrically about the crossing, and how far from
// it they must lie at least.
constexpr int kLevelRounds = 2;
constexpr double kMinLevelReachPx = 1.0;
// An edge point this close to a line agrees with it: several times the
// scatter of the edge points at a blur of 1.2 px and noise of a few grey
// levels, a fraction of the offset of anything that is not the side.
constexpr double kInlierPx = 0.3;
// The detector's own confidence cut: below it the identity is dropped.
constexpr double kMinConfidence = 0.5;

// Channel sums (0..765) of the observed frame; false off the frame.
struct Sampler {
    const uint8_t* frame;
    int width, height;

    bool sum(double x, double y, double& out) const { return bilinearSum(frame, width, height, x, y, out); }
};

// The profile's value `u` ideal pixels from its middle, linear between samples.
double profileAt(const double* profile, int n, double halfWindow, double u) {
    const double f = (u + halfWindow) / kProfileStepPx;
    const int i = std::clamp(static_cast<int>(std::floor(f)), 0, n - 2);
    return profile[i] + (f - i) * (profile[i + 1] - profile[i]);
}

// Where the profile rises through `mid`, in ideal pixels from its middle;
// the crossing nearest the middle wins.
bool crossingOf(const double* profile, int n, double halfWindow, double mid, double& offset) {
    bool found = false;
    for (int i = 0; i + 1 < n; ++i) {
        if (!(profile[i] < mid && profile[i + 1] >= mid)) continue;
        const double u = -halfWindow + (i + (mid - profile[i]) / (profile[i + 1] - profile[i])) * kProfileStepPx;
        if (!found || std::fabs(u) < std::fabs(offset)) offset = u;
        found = true;
    }
    return found;
}

// Where the profile from `origin` along `step` (observed pixels per ideal
// pixel of the normal) crosses halfway between the border's dark and the
// paper's light, in ideal pixels from the origin. A short window on a
// blurred edge does not reach the two plateaus, and when it sits off the
// edge its ends are unevenly far from it, which moves the halfway level; so
// the levels are taken again at equal distances either side of the first
// crossing, where a symmetric blur leaves their mean at the edge's middle.
bool edgeOffset(const Sampler& sampler, const double origin[2], const double step[2], double halfWindow,
                double& offset) {
    constexpr int kMaxSamples = static_cast<int>(2 * kMaxHalfWindowPx / kProfileStepPx) + 1;
    const int n = static_cast<int>(2 * halfWindow / kProfileStepPx) + 1;
    double profile[kMaxSamples];
    for (int i = 0; i < n; ++i) {
        const double u = -halfWindow + i * kProfileStepPx;
        if (!sampler.sum(origin[0] + u * step[0], origin[1] + u * step[1], profile[i])) return false;
    }
    const double dark = (profile[0] + profile[1] + profile[2]) / 3;
    const double light = (profile[n - 1] + profile[n - 2] + profile[n - 3]) / 3;
    if (light - dark < kMinContrast) return false;
    if (!crossingOf(profile, n, halfWindow, (dark + light) / 2, offset)) return false;
    for (int round = 0; round < kLevelRounds; ++round) {
        const double reach = std::min(offset + halfWindow, halfWindow - offset);
        if (reach < kMinLevelReachPx) break;
        const double near[2] = {offset - reach, offset - reach + kProfileStepPx};
        const double inner = (profileAt(profile, n, halfWindow, near[0]) + profileAt(profile, n, halfWindow, near[1])) / 2;
        const double outer = (profileAt(profile, n, halfWindow, offset + reach) +
                              profileAt(profile, n, halfWindow, offset + reach - kProfileStepPx)) / 2;
        double again = offset;
        if (outer - inner < kMinContrast / 2 || !crossingOf(profile, n, halfWindow, (inner + outer) / 2, again)) break;
        offset = again;
    }
    return true;
}

// The line most of the points agree on: of the lines through every pair of
// points, the one with the most points within kInlierPx (the smaller sum of
// squared distances on ties), then the least-squares line through those.
// Points off it belong to something else: a shape touching the side, an
// object covering part of it. False when fewer than `minPoints` agree.
bool consensusLine(std::vector<double>& xs, std::vector<double>& ys, size_t minPoints, double line[3]) {
    const size_t n = xs.size();
    // Usually every point lies on the side, and the search is not needed.
    if (fitEdgeLine(xs.data(), ys.data(), static_cast<int>(n), line) < 0) return false;
    size_t near = 0;
    for (size_t k = 0; k < n; ++k) near += std::fabs(line[0] * xs[k] + line[1] * ys[k] + line[2]) <= kInlierPx;
    if (near == n) return true;
    size_t bestCount = 0;
    double bestSum = 0.0, best[3] = {0.0, 0.0, 0.0};
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            const double a = ys[j] - ys[i], b = xs[i] - xs[j], length = std::hypot(a, b);
            if (!(length > 0.0)) continue;
            const double candidate[3] = {a / length, b / length, -(a * xs[i] + b * ys[i]) / length};
            size_t count = 0;
            double sum = 0.0;
            for (size_t k = 0; k < n; ++k) {
                const double r = candidate[0] * xs[k] + candidate[1] * ys[k] + candidate[2];
                if (std::fabs(r) > kInlierPx) continue;
                ++count;
                sum += r * r;
            }
            if (count > bestCount || (count == bestCount && sum < bestSum)) {
                bestCount = count, bestSum = sum;
                std::copy(candidate, candidate + 3, best);
            }
        }
    if (bestCount < minPoints) return false;
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k) {
        if (std::fabs(best[0] * xs[k] + best[1] * ys[k] + best[2]) > kInlierPx) continue;
        xs[kept] = xs[k], ys[kept] = ys[k];
        ++kept;
    }
    xs.resize(kept), ys.resize(kept);
    return fitEdgeLine(xs.data(), ys.data(), static_cast<int>(kept), line) == 0;
}

// The side from vertex `from` to vertex `to` (ideal pixels) found again in
// the frame: profiles across it at stations along its middle, each giving
// one edge point, and a line through those. `line` is the current line on
// entry, and is replaced only when enough stations saw a clean edge.
bool refineSide(const Sampler& sampler, const double distortion[4], const double from[2], const double to[2],
                const double inside[2], double halfWindow, double line[3]) {
    const double length = std::hypot(to[0] - from[0], to[1] - from[1]);
    if (!(length >= 2 * kMinStations)) return false;
    // The normal pointing away from the square, towards the paper.
    double normal[2] = {line[0], line[1]};
    if (line[0] * inside[0] + line[1] * inside[1] + line[2] > 0) normal[0] = -normal[0], normal[1] = -normal[1];

    const int stations = std::clamp(static_cast<int>(length * kStationSpan), kMinStations, kMaxStations);
    std::vector<double> xs, ys;
    xs.reserve(stations), ys.reserve(stations);
    for (int j = 0; j < stations; ++j) {
        const double t = kFirstStation + kStationSpan * (j + 0.5) / stations;
        const double p[2] = {from[0] + t * (to[0] - from[0]), from[1] + t * (to[1] - from[1])};
        // The lens is smooth over a few pixels: one ideal pixel along the
        // normal maps to a fixed observed step around the station.
        double origin[2], ahead[2];
        idealToObserved(distortion, p[0], p[1], &origin[0], &origin[1]);
        idealToObserved(distortion, p[0] + normal[0], p[1] + normal[1], &ahead[0], &ahead[1]);
        const double step[2] = {ahead[0] - origin[0], ahead[1] - origin[1]};
        double u = 0.0;
        if (!edgeOffset(sampler, origin, step, halfWindow, u)) continue;
        xs.push_back(p[0] + u * normal[0]);
        ys.push_back(p[1] + u * normal[1]);
    }
    const size_t minPoints = std::max(kMinStations, stations / 2);
    if (xs.size() < minPoints) return false;
    double refined[3];
    if (!consensusLine(xs, ys, minPoints, refined)) return false;
    // Keep the sign of the contour's line, which the pose's edge directions follow.
    if (refined[0] * line[0] + refined[1] * line[1] < 0) refined[0] = -refined[0], refined[1] = -refined[1], refined[2] = -refined[2];
    if (!std::isfinite(refined[0]) || !std::isfinite(refined[1]) || !std::isfinite(refined[2])) return false;
    std::copy(refined, refined + 3, line);
    return true;
}

// Finite corners within reach of any frame, and finite lines with unit
// normals: anything else is no square to refine (and would index profiles
// and stations out of range).
bool usableSquare(const MarkerInfo& marker) {
    constexpr double kFarPx = 1e6;
    for (int k = 0; k < 4; ++k) {
        for (const double v : marker.vertex[k])
            if (!(std::fabs(v) <= kFarPx)) return false;
        const double* l = marker.line[k];
        if (!std::isfinite(l[2]) || !(std::fabs(std::hypot(l[0], l[1]) - 1.0) < 1e-6)) return false;
    }
    return true;
}

} // namespace

int refineMarkerEdges(const uint8_t* frame, int width, int height, const double distortion[4],
                      MarkerInfo& marker) {
    if (!frame || width < 2 || height < 2 || !usableSquare(marker)) return 0;
    const Sampler sampler{frame, width, height};
    double inside[2] = {0.0, 0.0};
    double perimeter = 0.0;
    for (int k = 0; k < 4; ++k) {
        inside[0] += marker.vertex[k][0] / 4, inside[1] += marker.vertex[k][1] / 4;
        perimeter += std::hypot(marker.vertex[(k + 1) % 4][0] - marker.vertex[k][0],
                                marker.vertex[(k + 1) % 4][1] - marker.vertex[k][1]);
    }
    const double halfWindow = std::clamp(perimeter / 40, kMinHalfWindowPx, kMaxHalfWindowPx);

    double line[4][3], vertex[4][2];
    std::copy(&marker.line[0][0], &marker.line[0][0] + 12, &line[0][0]);
    // A second round centred on the refined edges measured no better: the
    // mid-level crossing does not care where in the window the edge lies.
    // A side is judged by how far its line moved, not by its corners: where
    // a steep view makes a corner acute, a correct half-pixel move of its
    // two sides moves the corner several pixels.
    bool refined[4];
    for (int k = 0; k < 4; ++k) {
        const double* from = marker.vertex[k];
        const double* to = marker.vertex[(k + 1) % 4];
        refined[k] = refineSide(sampler, distortion, from, to, inside, halfWindow, line[k]) &&
                     std::fabs(line[k][0] * from[0] + line[k][1] * from[1] + line[k][2]) <= kRefineMaxShiftPx &&
                     std::fabs(line[k][0] * to[0] + line[k][1] * to[1] + line[k][2]) <= kRefineMaxShiftPx;
        if (!refined[k]) std::copy(marker.line[k], marker.line[k] + 3, line[k]);
    }
    if (intersectEdgeLines(line, vertex) < 0) return 0;
    for (int k = 0; k < 4; ++k) {
        // A corner between two unrefined sides stays exactly as it was.
        if (!refined[(k + 3) % 4] && !refined[k]) std::copy(marker.vertex[k], marker.vertex[k] + 2, vertex[k]);
        if (!std::isfinite(vertex[k][0]) || !std::isfinite(vertex[k][1])) return 0;
    }
    std::copy(&line[0][0], &line[0][0] + 12, &marker.line[0][0]);
    std::copy(&vertex[0][0], &vertex[0][0] + 8, &marker.vertex[0][0]);
    return static_cast<int>(std::count(refined, refined + 4, true));
}

void refineIdentifiedMarkers(const uint8_t* frame, MarkerInfo* markers, int count) {
    const DetectorState& state = detectorState();
    for (int i = 0; i < count; ++i) {
        if (markers[i].id < 0 || markers[i].cf < kMinConfidence) continue;
        refineMarkerEdges(frame, state.camera.xsize, state.camera.ysize, state.camera.param.distortion, markers[i]);
    }
}
