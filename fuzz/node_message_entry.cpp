// A message from the broker on a camera node's topic, through the fusion's
// readers: whatever the bytes, reading never throws, and a record it
// accepts holds only what the caps allow, finite numbers, names a topic
// can carry and a unit quaternion, and is written and read back the same.
#include <cmath>
#include "fuzz_entries.h"
#include "node_messages.h"

namespace {

bool finite(const double* values, int count) {
    for (int k = 0; k < count; ++k)
        if (!std::isfinite(values[k])) return false;
    return true;
}

std::string checkFrame(const NodeFrame& frame) {
    if (!validTopicName(frame.node)) return "an accepted frame names a node a topic cannot carry";
    if (frame.width < 1 || frame.width > kNodeFrameSideMax || frame.height < 1 || frame.height > kNodeFrameSideMax)
        return "an accepted frame's size is beyond the cap";
    if (frame.markers.size() > kNodeMarkersMax) return "an accepted frame holds more markers than the cap";
    if (!std::isfinite(frame.time)) return "an accepted frame's time is not finite";
    if (frame.camera) {
        const double* q = frame.camera->quaternion;
        if (!finite(frame.camera->position, 3) || !finite(q, 4) ||
            std::fabs(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3] - 1) > 1e-9)
            return "an accepted camera pose is not finite or not a unit quaternion";
    }
    for (const NodeMarker& marker : frame.markers) {
        if (marker.name.empty() || marker.name.size() > kNodeNameMax) return "an accepted pattern name is beyond the cap";
        if (!finite(&marker.corner[0][0], 8) || !std::isfinite(marker.cf)) return "an accepted corner is not finite";
    }
    return "";
}

} // namespace

std::string fuzzNodeMessage(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string why;
    if (const auto frame = readNodeFrame(text, why)) {
        const std::string problem = checkFrame(*frame);
        if (!problem.empty()) return problem;
        const auto again = readNodeFrame(nodeFrameJson(*frame), why);
        if (!again || again->markers.size() != frame->markers.size() || again->frame != frame->frame)
            return "an accepted frame does not read back from its own text: " + why;
    } else if (why.empty()) {
        return "a refused frame gives no reason";
    }
    why.clear();
    if (const auto camera = readNodeCamera(text, why)) {
        if (!validTopicName(camera->node) || !finite(&camera->projection[0][0], 12))
            return "an accepted camera names a bad node or holds a non-finite number";
        if (!readNodeCamera(nodeCameraJson(*camera), why)) return "an accepted camera does not read back: " + why;
    } else if (why.empty()) {
        return "a refused camera gives no reason";
    }
    return "";
}
