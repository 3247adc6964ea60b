#include "node_messages.h"
#include <mosquitto.h>
#include "json.h"

namespace {

// A topic level: not empty, within the name cap, no wildcard or level
// separator, no white space, and UTF-8 a broker accepts (which also keeps
// out NUL and the control characters).
bool validTopicLevel(const std::string& level) {
    if (level.empty() || level.size() > kNodeNameMax) return false;
    if (level.find_first_of("+#/ \t\r\n\v\f") != std::string::npos) return false;
    return mosquitto_validate_utf8(level.data(), static_cast<int>(level.size())) == MOSQ_ERR_SUCCESS;
}

} // namespace

bool validTopicName(const std::string& name, bool isPrefix) {
    if (!isPrefix) return validTopicLevel(name);
    std::size_t from = 0;
    for (;;) {
        const std::size_t slash = name.find('/', from);
        if (!validTopicLevel(name.substr(from, slash == std::string::npos ? std::string::npos : slash - from)))
            return false;
        if (slash == std::string::npos) return true;
        from = slash + 1;
    }
}

std::string nodeFrameJson(const NodeFrame& frame) {
    JsonWriter w;
    w.openObject();
    w.key("node").string(frame.node);
    w.key("frame").integer(frame.frame);
    w.key("time").number(frame.time);
    w.key("width").integer(frame.width);
    w.key("height").integer(frame.height);
    w.key("camera");
    if (frame.camera) {
        w.openObject();
        w.key("position").numbers(frame.camera->position, 3);
        w.key("quaternion").numbers(frame.camera->quaternion, 4);
        w.closeObject();
    } else {
        w.null();
    }
    w.key("markers").openArray();
    for (const NodeMarker& marker : frame.markers) {
        w.openObject();
        w.key("name").string(marker.name);
        w.key("id").integer(marker.id);
        w.key("cf").number(marker.cf);
        w.key("corners").openArray();
        for (const auto& corner : marker.corner) w.numbers(corner, 2);
        w.closeArray();
        w.closeObject();
    }
    w.closeArray();
    return w.closeObject().take();
}

std::string nodeCameraJson(const NodeCamera& camera) {
    JsonWriter w;
    w.openObject();
    w.key("node").string(camera.node);
    w.key("width").integer(camera.width);
    w.key("height").integer(camera.height);
    w.key("projection").openArray();
    for (const auto& row : camera.projection) w.numbers(row, 4);
    w.closeArray();
    return w.closeObject().take();
}
