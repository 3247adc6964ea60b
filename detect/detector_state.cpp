#include "detector_state.h"

namespace {
// Heap-allocated once: the candidate contours alone take 2.4 MB.
std::unique_ptr<DetectorState>& instance() {
    static std::unique_ptr<DetectorState> state = std::make_unique<DetectorState>();
    return state;
}
} // namespace

DetectorState& detectorState() { return *instance(); }

void resetDetector() { instance() = std::make_unique<DetectorState>(); }
