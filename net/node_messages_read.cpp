// Reading what a camera node sends. The text comes from the network and is
// trusted in nothing: every member is looked up, its type and range
// checked, and the first fault ends the reading with a reason that names
// the member, so the fusion can tell the node's operator what to fix.
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include "node_messages.h"

using nlohmann::json;

namespace {

// Our documents nest at most five deep (frame, markers, marker, corners,
// corner); a deeper text is refused before the parser builds it.
constexpr int kNestingMax = 8;
// An ideal pixel lies within the frame, or a little outside where the lens
// model bends it; beyond a frame's side off any edge it is nobody's corner.
constexpr double kCornerMarginSides = 1.0;
// Positions in the world, mm: beyond a kilometre a pose is garbage.
constexpr double kWorldExtentMm = 1e6;
constexpr double kUnitQuaternionSlack = 1e-3;

// How deep `text` nests its brackets outside strings (unbalanced text is
// left to the parser to refuse).
int nestingDepth(const std::string& text) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// Looks members up under a path ("markers[2].corners") and records the
// first fault in `why`; once one is found every later check fails too.
class Checker {
public:
    explicit Checker(std::string& why) : why_(why) {}

    bool ok() const { return ok_; }

    bool fail(const std::string& path, const std::string& reason) {
        if (ok_) why_ = "\"" + path + "\" " + reason;
        ok_ = false;
        return false;
    }

    const json* member(const json& object, const char* name, const std::string& path) {
        const auto found = object.find(name);
        if (found == object.end()) {
            fail(path, "is missing");
            return nullptr;
        }
        return &*found;
    }

    bool number(const json& value, const std::string& path, double low, double high, double& out) {
        if (!value.is_number()) return fail(path, "is not a number");
        out = value.get<double>();
        if (!std::isfinite(out)) return fail(path, "is not finite");
        if (out < low || out > high) return fail(path, "is out of range");
        return true;
    }

    template <typename Int>
    bool integer(const json& value, const std::string& path, Int low, Int high, Int& out) {
        if (!value.is_number_integer()) return fail(path, "is not a whole number");
        // The parser keeps a non-negative whole number unsigned and a
        // negative one signed; each is compared in its own type.
        bool inRange;
        if (value.is_number_unsigned()) {
            const auto v = value.get<uint64_t>();
            inRange = (low <= 0 || v >= static_cast<uint64_t>(low)) && v <= static_cast<uint64_t>(high);
            out = static_cast<Int>(v);
        } else {
            const auto v = value.get<int64_t>();
            inRange = v >= 0 ? static_cast<uint64_t>(v) >= static_cast<uint64_t>(low) &&
                                   static_cast<uint64_t>(v) <= static_cast<uint64_t>(high)
                             : low < 0 && v >= static_cast<int64_t>(low);
            out = static_cast<Int>(v);
        }
        return inRange || fail(path, "is out of range");
    }

    // An array of exactly `count` numbers within [low, high].
    bool numbers(const json& value, const std::string& path, std::size_t count, double low, double high,
                 double* out) {
        if (!value.is_array() || value.size() != count)
            return fail(path, "is not an array of " + std::to_string(count) + " numbers");
        for (std::size_t k = 0; k < count; ++k) {
            if (!number(value[k], path + "[" + std::to_string(k) + "]", low, high, out[k])) return false;
        }
        return true;
    }

    bool nodeName(const json& value, const std::string& path, std::string& out) {
        if (!value.is_string()) return fail(path, "is not a string");
        out = value.get<std::string>();
        if (!validTopicName(out))
            return fail(path, "is not a node name (1 to " + std::to_string(kNodeNameMax) +
                                  " bytes of UTF-8, no +, #, / or white space)");
        return true;
    }

    bool patternName(const json& value, const std::string& path, std::string& out) {
        if (!value.is_string()) return fail(path, "is not a string");
        out = value.get<std::string>();
        if (out.empty() || out.size() > kNodeNameMax)
            return fail(path, "is not 1 to " + std::to_string(kNodeNameMax) + " bytes long");
        for (const char c : out) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) return fail(path, "holds a control character");
        }
        return true;
    }

    bool frameSide(const json& object, const char* name, int& out) {
        const json* value = member(object, name, name);
        return value && integer(*value, name, 1, kNodeFrameSideMax, out);
    }

private:
    std::string& why_;
    bool ok_ = true;
};

// The text as a JSON object, or none with the reason.
std::optional<json> parseObject(const std::string& text, std::string& why) {
    if (text.empty()) {
        why = "the message is empty";
        return std::nullopt;
    }
    if (text.size() > kNodeMessageMaxBytes) {
        why = "the message is " + std::to_string(text.size()) + " bytes, over the " +
              std::to_string(kNodeMessageMaxBytes) + " allowed";
        return std::nullopt;
    }
    if (nestingDepth(text) > kNestingMax) {
        why = "the message nests deeper than " + std::to_string(kNestingMax);
        return std::nullopt;
    }
    json parsed;
    try {
        parsed = json::parse(text);
    } catch (const json::parse_error& error) {
        why = "the message is not JSON (at byte " + std::to_string(error.byte) + ")";
        return std::nullopt;
    } catch (const json::out_of_range&) {
        why = "the message holds a number beyond a double's range";
        return std::nullopt;
    }
    if (!parsed.is_object()) {
        why = "the message is not a JSON object";
        return std::nullopt;
    }
    return parsed;
}

bool readWorldPose(Checker& check, const json& value, NodeWorldPose& pose) {
    if (!value.is_object()) return check.fail("camera", "is neither null nor an object");
    const json* position = check.member(value, "position", "camera.position");
    const json* quaternion = check.member(value, "quaternion", "camera.quaternion");
    if (!position || !quaternion) return false;
    if (!check.numbers(*position, "camera.position", 3, -kWorldExtentMm, kWorldExtentMm, pose.position) ||
        !check.numbers(*quaternion, "camera.quaternion", 4, -1 - kUnitQuaternionSlack, 1 + kUnitQuaternionSlack,
                       pose.quaternion))
        return false;
    const double norm = std::sqrt(pose.quaternion[0] * pose.quaternion[0] + pose.quaternion[1] * pose.quaternion[1] +
                                  pose.quaternion[2] * pose.quaternion[2] + pose.quaternion[3] * pose.quaternion[3]);
    if (std::fabs(norm - 1) > kUnitQuaternionSlack) return check.fail("camera.quaternion", "is not of unit length");
    for (double& q : pose.quaternion) q /= norm;
    return true;
}

bool readMarker(Checker& check, const json& value, const std::string& path, int width, int height,
                NodeMarker& marker) {
    if (!value.is_object()) return check.fail(path, "is not an object");
    const json* name = check.member(value, "name", path + ".name");
    const json* id = check.member(value, "id", path + ".id");
    const json* cf = check.member(value, "cf", path + ".cf");
    const json* corners = check.member(value, "corners", path + ".corners");
    if (!name || !id || !cf || !corners) return false;
    if (!check.patternName(*name, path + ".name", marker.name) ||
        !check.integer(*id, path + ".id", 0, std::numeric_limits<int>::max(), marker.id) ||
        !check.number(*cf, path + ".cf", 0, 1, marker.cf))
        return false;
    if (!corners->is_array() || corners->size() != 4)
        return check.fail(path + ".corners", "is not an array of 4 corners");
    for (std::size_t k = 0; k < 4; ++k) {
        const std::string at = path + ".corners[" + std::to_string(k) + "]";
        double xy[2];
        if (!check.numbers((*corners)[k], at, 2, -std::max(width, height) * kCornerMarginSides,
                           (1 + kCornerMarginSides) * std::max(width, height), xy))
            return false;
        marker.corner[k][0] = xy[0];
        marker.corner[k][1] = xy[1];
    }
    return true;
}

bool readMarkers(Checker& check, const json& value, int width, int height, std::vector<NodeMarker>& markers) {
    if (!value.is_array()) return check.fail("markers", "is not an array");
    if (value.size() > kNodeMarkersMax)
        return check.fail("markers", "holds " + std::to_string(value.size()) + " markers, over the " +
                                         std::to_string(kNodeMarkersMax) + " allowed");
    markers.resize(value.size());
    for (std::size_t k = 0; k < value.size(); ++k) {
        if (!readMarker(check, value[k], "markers[" + std::to_string(k) + "]", width, height, markers[k]))
            return false;
    }
    return true;
}

} // namespace

std::optional<NodeFrame> readNodeFrame(const std::string& text, std::string& why) {
    const std::optional<json> parsed = parseObject(text, why);
    if (!parsed) return std::nullopt;
    const json& object = *parsed;
    Checker check(why);
    NodeFrame frame;
    const json* node = check.member(object, "node", "node");
    const json* number = check.member(object, "frame", "frame");
    const json* time = check.member(object, "time", "time");
    const json* camera = check.member(object, "camera", "camera");
    const json* markers = check.member(object, "markers", "markers");
    if (!node || !number || !time || !camera || !markers) return std::nullopt;
    // Seconds since 1970 up to the year 2500.
    if (!check.nodeName(*node, "node", frame.node) ||
        !check.integer(*number, "frame", uint64_t{0}, std::numeric_limits<uint64_t>::max(), frame.frame) ||
        !check.number(*time, "time", 0, 1.7e10, frame.time) || !check.frameSide(object, "width", frame.width) ||
        !check.frameSide(object, "height", frame.height))
        return std::nullopt;
    if (!camera->is_null()) {
        NodeWorldPose pose;
        if (!readWorldPose(check, *camera, pose)) return std::nullopt;
        frame.camera = pose;
    }
    if (!readMarkers(check, *markers, frame.width, frame.height, frame.markers)) return std::nullopt;
    return frame;
}

std::optional<NodeCamera> readNodeCamera(const std::string& text, std::string& why) {
    const std::optional<json> parsed = parseObject(text, why);
    if (!parsed) return std::nullopt;
    const json& object = *parsed;
    Checker check(why);
    NodeCamera camera;
    const json* node = check.member(object, "node", "node");
    const json* projection = check.member(object, "projection", "projection");
    if (!node || !projection || !check.nodeName(*node, "node", camera.node) ||
        !check.frameSide(object, "width", camera.width) || !check.frameSide(object, "height", camera.height))
        return std::nullopt;
    if (!projection->is_array() || projection->size() != 3) {
        check.fail("projection", "is not an array of 3 rows");
        return std::nullopt;
    }
    const double big = std::numeric_limits<double>::max();
    for (std::size_t r = 0; r < 3; ++r) {
        if (!check.numbers((*projection)[r], "projection[" + std::to_string(r) + "]", 4, -big, big,
                           camera.projection[r]))
            return std::nullopt;
    }
    // The left 3 x 3 block maps a direction to a pixel: a singular one maps
    // the scene onto a line, and every fit through it would be garbage.
    const auto& P = camera.projection;
    const double det = P[0][0] * (P[1][1] * P[2][2] - P[1][2] * P[2][1]) -
                       P[0][1] * (P[1][0] * P[2][2] - P[1][2] * P[2][0]) +
                       P[0][2] * (P[1][0] * P[2][1] - P[1][1] * P[2][0]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-9) {
        check.fail("projection", "is singular");
        return std::nullopt;
    }
    return camera;
}
