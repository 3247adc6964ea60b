#pragma once
// The detector's process-wide state, in one place. The free functions of the
// detector read and write the one instance that detectorState() returns; a
// test resets it with resetDetector(). Not reentrant: one thread at a time.
#include <cstdint>
#include <memory>
#include <vector>
#include "camera_param.h"
#include "detector_options.h"
#include "labeling.h"
#include "marker_history.h"
#include "pattern.h"
#include "pose.h"
#include "squares.h"

struct WorkingCameraParam {
    CameraParam param;
    int32_t xsize = 0;
    int32_t ysize = 0;
};

// Per-provisional-label statistics of the labeling pass. The coordinate sums
// are 64-bit: one region of a 4096 x 3072 frame sums past 2^31.
struct LabelWork {
    int32_t count, minX, maxX, minY, maxY;
    int64_t sumX, sumY;
};

// Tables indexed by provisional label p (entry 0 unused), so labelMap is
// equivalence + 1. During the pass an equivalence entry names a smaller
// label of the same class, roots naming themselves; renumbering turns each
// entry into its final label.
struct LabelStorage {
    std::vector<int16_t> labels;               // sized for the working frame at install
    int32_t equivalence[kLabelTableSize];
    LabelWork work[kLabelTableSize];
    int32_t area[kLabelTableSize];
    double centroid[kLabelTableSize * 2];
    int32_t clipBox[kLabelTableSize * 4];
    LabelImage result;
    // The automatic threshold's tiles (labeling.cpp), sized at first use.
    std::vector<uint32_t> tileSums, tileAcross;
    std::vector<int32_t> tileLimits;
};

struct DetectorState {
    // -- User-configurable parameters: set before the frames run.
    DetectorOptions options;

    // -- Installed camera: written once per worker start, fixed while frames run.
    WorkingCameraParam camera;

    // -- Pattern table: loaded at worker set-up, switched between frames.
    PatternTable patterns;

    // -- Per-frame storage, overwritten by every detection.
    LabelStorage label;
    // Room for the specified limits from the start; a larger candidate limit
    // (options.maxSquares) grows both the first time a frame needs it, so
    // that 80 KB of contour per candidate is only taken where it is used.
    std::vector<SquareCandidate> candidates = std::vector<SquareCandidate>(kMaxCandidates);
    int32_t candidateCount = 0;
    std::vector<MarkerInfo> markers = std::vector<MarkerInfo>(kMaxMarkers);
    int32_t markerCount = 0;

    // -- Kept between frames by the history variant of detection only.
    MarkerHistory history;

    // -- Scratch of the pose solver.
    double poseModel[kPoseMaxPoints][3];
    double poseImage[kPoseMaxPoints][2];
};

DetectorState& detectorState();
// Back to program start: nothing installed, every slot Free, no history.
void resetDetector();
