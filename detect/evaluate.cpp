#include "evaluate.h"
#include <cmath>
#include <cstdio>
#include "detector_state.h"
#include "pose.h"

namespace {

const PatternEntry* catalogueEntryFor(const Catalogue& catalogue, int patternId) {
    for (const PatternEntry& entry : catalogue) {
        if (entry.index == patternId) return &entry;
    }
    return nullptr;
}

} // namespace

int evaluateMarkers(const uint8_t* pixels, const Catalogue& catalogue, ResultTable& table) {
    if (!pixels) return -1;
    MarkerInfo* markers = nullptr;
    int count = 0;
    if (detectMarkers(pixels, detectorState().options.threshold, &markers, &count) < 0) {
        std::printf("error in evaluateMarkers\n");
        return -1;
    }
    MarkerResult scratch;
    for (int k = 0; k < count; ++k) {
        const MarkerInfo& marker = markers[k];
        if (marker.id < 0) continue;
        const PatternEntry* entry = catalogueEntryFor(catalogue, marker.id);
        if (!entry || marker.cf < MIN_CONFIDENCE) continue;
        scratch.width = entry->width;
        scratch.name = entry->name;
        fillMarkerResult(scratch, marker);
        table.push_back(scratch);
    }
    return 0;
}

void fillMarkerResult(MarkerResult& result, const MarkerInfo& marker) {
    result.patternId = marker.id;
    result.area = marker.area;
    result.cf = marker.cf;
    result.px = marker.pos[0];
    result.py = marker.pos[1];

    // Rotating by the matched direction makes vertex 0 the same printed
    // corner whatever the marker's rotation in the image.
    for (int k = 0; k < 4; ++k) {
        const int source = ((k - marker.dir) % 4 + 4) % 4;
        result.vertex[k][0] = marker.vertex[source][0];
        result.vertex[k][1] = marker.vertex[source][1];
    }

    const double mx = ((result.vertex[0][0] - result.px) + (result.vertex[1][0] - result.px)) * 0.5;
    const double my = ((result.vertex[0][1] - result.py) + (result.vertex[1][1] - result.py)) * 0.5;
    const double len = std::sqrt(mx * mx + my * my);
    // A degenerate square has no direction; zeros rather than NaN on the wire.
    result.dx = len > 0.0 ? mx / len : 0.0;
    result.dy = len > 0.0 ? my / len : 0.0;

    // Without an initial rotation the pose leaves zeros, so such a marker
    // reports the origin rather than an earlier marker's pose.
    const double centre[2] = {0.0, 0.0};
    double transform[3][4] = {};
    estimateMarkerPose(marker, centre, result.width, transform);
    result.X = transform[0][3];
    result.Y = transform[1][3];
    result.Z = transform[2][3];
    toGLMatrix(transform, result.glMatrix);
}

void toGLMatrix(const double transform[3][4], double gl[16]) {
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 4; ++i) gl[i * 4 + j] = transform[j][i];
    }
    gl[3] = gl[7] = gl[11] = 0.0;
    gl[15] = 1.0;
}
