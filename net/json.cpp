#include "json.h"
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 character at `text[at]` that is no
// control character, or 0.
std::size_t printableCharacterAt(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(k) & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return 0;
    if ((code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE) return 0;
    return length;
}

// "position" and "quaternion" into an open object.
void writePoseMembers(JsonWriter& w, const double position[3], const double quaternion[4]) {
    w.key("position").numbers(position, 3);
    w.key("quaternion").numbers(quaternion, 4);
}

// A marker's members into an open object; `drawn` adds what a page needs
// to draw it.
void writeMarkerMembers(JsonWriter& w, const MarkerResult& r, const FrameStamp& stamp, bool drawn) {
    const double pos2d[] = {r.px, r.py}, pos3d[] = {r.X, r.Y, r.Z}, dvec[] = {r.dx, r.dy};
    w.key("name").string(r.name);
    w.key("id").integer(r.patternId);
    w.key("frame").integer(stamp.frame);
    w.key("time").number(stamp.captureTime);
    w.key("pos2d").numbers(pos2d, 2);
    w.key("pos3d").numbers(pos3d, 3);
    w.key("dvec").numbers(dvec, 2);
    w.key("cf").number(r.cf);
    w.key("matrix").numbers(r.glMatrix, 16);
    if (drawn) {
        w.key("area").integer(r.area);
        w.key("vertex").openArray();
        for (const auto& vertex : r.vertex) w.numbers(vertex, 2);
        w.closeArray();
    }
    if (r.hasWorld) writeWorldMember(w, r.worldPosition, r.worldQuaternion);
}

} // namespace

// ---- The writer.

void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (filled_.empty()) return;
    if (filled_.back()) out_ += ',';
    filled_.back() = true;
}

JsonWriter& JsonWriter::openObject() {
    beforeValue();
    out_ += '{';
    filled_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::closeObject() {
    out_ += '}';
    filled_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::openArray() {
    beforeValue();
    out_ += '[';
    filled_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::closeArray() {
    out_ += ']';
    filled_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(const char* name) {
    beforeValue();
    out_ += '"';
    out_ += name;
    out_ += "\":";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::number(double value) {
    beforeValue();
    if (!std::isfinite(value)) {
        out_ += "null";
        return *this;
    }
    char text[32];
    out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    return *this;
}

JsonWriter& JsonWriter::numbers(const double* values, int count) {
    openArray();
    for (int k = 0; k < count; ++k) number(values[k]);
    return closeArray();
}

void JsonWriter::appendInteger(long long value) {
    char text[24];
    out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void JsonWriter::appendInteger(unsigned long long value) {
    char text[24];
    out_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

JsonWriter& JsonWriter::boolean(bool value) {
    beforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    beforeValue();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::string(const std::string& text) {
    beforeValue();
    out_ += '"';
    const bool pageSafe = textKind_ == JsonText::PageSafe;
    for (unsigned char c : utf8Escaped(text)) {
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(c);
        } else if (c < 0x20 || (pageSafe && (c == '<' || c == '>' || c == '&'))) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out_ += escaped;
        } else {
            out_ += static_cast<char>(c);
        }
    }
    out_ += '"';
    return *this;
}

// ---- Documents.

std::string markerJson(const MarkerResult& result, const FrameStamp& stamp) {
    JsonWriter w;
    w.openObject();
    writeMarkerMembers(w, result, stamp, false);
    return w.closeObject().take();
}

void writeFrameMembers(JsonWriter& w, const JsonFrame& frame) {
    w.key("frame").integer(frame.stamp.frame);
    w.key("time").number(frame.stamp.captureTime);
    w.key("width").integer(frame.width);
    w.key("height").integer(frame.height);
    w.key("markers").openArray();
    if (frame.markers) {
        for (const MarkerResult& marker : *frame.markers) {
            w.openObject();
            writeMarkerMembers(w, marker, frame.stamp, true);
            w.closeObject();
        }
    }
    w.closeArray();
    if (frame.bodies) {
        w.key("bodies").openArray();
        for (const BodyPose& body : *frame.bodies) writeBody(w, body, frame.stamp);
        w.closeArray();
    }
    if (frame.camera) {
        w.key("camera");
        if (frame.camera->known) {
            w.openObject();
            writePoseMembers(w, frame.camera->position, frame.camera->quaternion);
            w.closeObject();
        } else {
            w.null();
        }
    }
    if (frame.bodies && frame.lens) {
        w.key("lens").openObject();
        w.key("projection").numbers(&frame.lens->projection[0][0], 12);
        w.key("distortion").numbers(frame.lens->distortion, 4);
        w.closeObject();
    }
}

JsonWorldPose jsonWorldPoseOf(const CameraInWorld& camera) {
    JsonWorldPose pose;
    pose.known = camera.known;
    for (int r = 0; r < 3; ++r) pose.position[r] = camera.pose.t[r];
    for (int i = 0; i < 4; ++i) pose.quaternion[i] = camera.quaternion[i];
    return pose;
}

void writeWorldMember(JsonWriter& w, const double position[3], const double quaternion[4]) {
    w.key("world").openObject();
    writePoseMembers(w, position, quaternion);
    w.closeObject();
}

void writeBody(JsonWriter& w, const BodyPose& body, const FrameStamp& stamp) {
    w.openObject();
    w.key("name").string(body.name);
    w.key("frame").integer(stamp.frame);
    w.key("time").number(stamp.captureTime);
    writePoseMembers(w, body.pose.t, body.quaternion);
    w.key("matrix").numbers(body.glMatrix, 16);
    w.key("members").openArray();
    for (const std::string& name : body.members) w.string(name);
    w.closeArray();
    w.key("rejected").openArray();
    for (const std::string& name : body.rejected) w.string(name);
    w.closeArray();
    w.key("rms").number(body.rmsPx);
    if (body.hasWorld) writeWorldMember(w, body.worldPosition, body.worldQuaternion);
    w.closeObject();
}

std::string bodyJson(const BodyPose& body, const FrameStamp& stamp) {
    JsonWriter w;
    writeBody(w, body, stamp);
    return w.take();
}

std::string frameJson(const JsonFrame& frame) {
    JsonWriter w;
    w.openObject();
    writeFrameMembers(w, frame);
    return w.closeObject().take();
}

std::string imageFrameJson(const std::string& imagePath, const JsonFrame& frame) {
    JsonWriter w;
    w.openObject().key("image").string(imagePath);
    writeFrameMembers(w, frame);
    return w.closeObject().take();
}

std::string statusJson(const JsonStatus& s) {
    JsonWriter w(JsonText::PageSafe);
    w.openObject();
    w.key("camera").string(s.camera);
    w.key("width").integer(s.width);
    w.key("height").integer(s.height);
    w.key("fps").number(std::round(s.fps * 10) / 10);
    w.key("frame").integer(s.frame);
    w.key("tcpClients").integer(s.tcpClients);
    w.key("tuio").string(s.tuio);
    w.key("mqtt").string(s.mqtt);
    w.key("droppedForSlowClients").integer(s.droppedForSlowClients);
    w.key("webConnections").integer(s.webConnections);
    w.key("imageViewers").integer(s.imageViewers);
    w.key("refusedRequests").integer(s.refusedRequests);
    w.key("uptime").number(std::floor(s.uptimeSeconds));
    if (s.fusion) {
        w.key("nodes").openArray();
        for (const JsonNodeRow& node : s.nodes) {
            w.openObject();
            w.key("name").string(node.name);
            w.key("lost").boolean(node.lost);
            w.key("frames").integer(node.frames);
            w.key("fused").integer(node.fused);
            w.key("late").integer(node.late);
            w.key("refused").integer(node.refused);
            w.key("worldPose").boolean(node.worldPose);
            w.closeObject();
        }
        w.closeArray();
    }
    return w.closeObject().take();
}

std::string catalogueJson(const std::vector<JsonCatalogueRow>& rows) {
    JsonWriter w(JsonText::PageSafe);
    w.openArray();
    for (std::size_t row = 0; row < rows.size(); ++row) {
        w.openObject();
        w.key("row").integer(row);
        w.key("name").string(rows[row].name);
        w.key("width").number(rows[row].widthMm);
        w.key("inUse").boolean(rows[row].inUse);
        w.key("thumbnail");
        if (rows[row].hasThumbnail) w.string("/thumbnail/" + std::to_string(row) + ".jpg");
        else w.null();
        w.closeObject();
    }
    return w.closeArray().take();
}

// ---- Text.

std::string jsonString(const std::string& text) { return JsonWriter().string(text).take(); }

std::string utf8Escaped(const std::string& name) {
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = printableCharacterAt(name, at);
        if (length > 0) {
            out.append(name, at, length);
            at += length;
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(name[at++]));
        out += escaped;
    }
    return out;
}
