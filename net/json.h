#pragma once
// Every JSON text the system sends is written here: a marker on MQTT, a
// frame on the page's feeds, /api/markers and detect --json, and the page's
// status and catalogue. Each document is written once, from a plain record,
// by the functions below; outputs never take one document's text apart to
// make another.
//
// Numbers are the shortest text that reads back to the same double
// (std::to_chars: 1 not 1.0, 0.1, 1e+20), a value that is not finite is
// null, and whole numbers are written as integers. No JSON library in
// Debian writes doubles this way (they write 1.0), so the writer is ours.
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>
#include "body_pose.h"
#include "world_frame.h"
#include "report.h"

// How a string's bytes are made JSON text. Both first make the bytes
// UTF-8 a broker and a browser accept (utf8Escaped), then escape quotes,
// backslashes and control characters; PageSafe also escapes <, > and &,
// so the text can be put inside a page as it is.
enum class JsonText { Plain, PageSafe };

// Appends one JSON text to a string, placing the commas itself: open an
// object or array, give each member its key() and then its value.
class JsonWriter {
public:
    explicit JsonWriter(JsonText text = JsonText::Plain) : textKind_(text) {}

    JsonWriter& openObject();
    JsonWriter& closeObject();
    JsonWriter& openArray();
    JsonWriter& closeArray();
    // The next value's member name: one of our own words, written as it is.
    JsonWriter& key(const char* name);

    JsonWriter& number(double value);
    JsonWriter& numbers(const double* values, int count);  // an array
    template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool>>>
    JsonWriter& integer(Int value) {
        beforeValue();
        appendInteger(static_cast<std::conditional_t<std::is_signed_v<Int>, long long, unsigned long long>>(value));
        return *this;
    }
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    JsonWriter& string(const std::string& text);

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void beforeValue();
    void appendInteger(long long value);
    void appendInteger(unsigned long long value);

    JsonText textKind_;
    std::string out_;
    // One entry per open object or array: whether it holds a member yet.
    std::vector<bool> filled_;
    bool afterKey_ = false;
};

// ---- Documents.

// One marker as MQTT sends it: name, id (pattern id), frame, time (seconds
// since 1970), pos2d (pixels), pos3d (mm), dvec, cf, matrix (16 numbers,
// column-major).
std::string markerJson(const MarkerResult& result, const FrameStamp& stamp);

// A pose in the world frame: mm, and the unit quaternion QW QX QY QZ.
struct JsonWorldPose {
    bool known = false;
    double position[3] = {};
    double quaternion[4] = {1, 0, 0, 0};
};

// The camera's world pose as the JSON writes it.
JsonWorldPose jsonWorldPoseOf(const CameraInWorld& camera);

// What a frame's JSON is made from. Outputs fill it from what they hold;
// what a frame comes to carry is added here and written by
// writeFrameMembers, so every output that sends a frame has it. The
// members that bodies bring are written only when given: without a bodies
// file a frame's JSON is what it always was.
struct JsonFrame {
    const ResultTable* markers = nullptr;  // none: an empty list
    FrameStamp stamp;
    int width = 0;  // frame size in pixels
    int height = 0;
    // While bodies are tracked: the bodies with a pose in this frame, as
    // "bodies" (an empty list when none is in view).
    const BodyTable* bodies = nullptr;
    // While a world frame is set: "camera", the camera's pose in it, or
    // null while that is not known.
    const JsonWorldPose* camera = nullptr;
    // While bodies are tracked: "lens", the intrinsics at the frame's size
    // ({"projection": 12 numbers row by row, "distortion": x0, y0, f, s}),
    // so that a page can draw a body's axes where the picture shows it.
    const CameraParam* lens = nullptr;
};

// The frame's members into an open object: frame, time, width, height and
// markers, each marker as markerJson with its area and its four vertices
// (pixels, pattern order) after its matrix, so a page can draw it; then
// bodies, camera and lens when given.
void writeFrameMembers(JsonWriter& writer, const JsonFrame& frame);

// One body as MQTT sends it on PREFIX/bodies/NAME and a frame lists it:
// name, frame, time, position (mm, camera frame), quaternion (QW QX QY QZ),
// matrix (16 numbers, column-major, as a marker's), members and rejected
// (pattern names: used in the fit, and in view but left out), rms (pixels),
// and world ({position, quaternion}) when its world pose is known.
std::string bodyJson(const BodyPose& body, const FrameStamp& stamp);
void writeBody(JsonWriter& writer, const BodyPose& body, const FrameStamp& stamp);

// "world":{"position":[X,Y,Z],"quaternion":[QW,QX,QY,QZ]} into an open
// object: the member a marker or a body gains in a world frame.
void writeWorldMember(JsonWriter& writer, const double position[3], const double quaternion[4]);

// {"frame","time","width","height","markers":[...]}: the page's feeds and
// /api/markers.
std::string frameJson(const JsonFrame& frame);

// The same members after "image" (the file's path): detect --json.
std::string imageFrameJson(const std::string& imagePath, const JsonFrame& frame);

// One camera node as a fusion node's page lists it.
struct JsonNodeRow {
    std::string name;
    bool lost = false;
    uint64_t frames = 0, fused = 0, late = 0, refused = 0;
    bool worldPose = false;  // its latest frame carried its camera's pose in the world
};

// /api/status, from what the page shows of the process. Strings page-safe.
// A fusion node's status also lists its nodes, as "nodes" after "uptime".
struct JsonStatus {
    std::string camera;
    int width = 0, height = 0;  // of the latest frame
    double fps = 0;             // written to one decimal
    uint64_t frame = 0;
    int tcpClients = 0;
    std::string tuio, mqtt;
    uint64_t droppedForSlowClients = 0;
    int webConnections = 0;
    std::size_t imageViewers = 0;
    int refusedRequests = 0;  // for another site's Origin or Host
    double uptimeSeconds = 0;  // written in whole seconds
    bool fusion = false;
    std::vector<JsonNodeRow> nodes;
};
std::string statusJson(const JsonStatus& status);

// /api/catalogue: one object per row; a row's thumbnail is
// "/thumbnail/ROW.jpg", or null when it has none. Strings page-safe.
struct JsonCatalogueRow {
    std::string name;
    double widthMm = 0;
    bool inUse = false;
    bool hasThumbnail = false;
};
std::string catalogueJson(const std::vector<JsonCatalogueRow>& rows);

// ---- Text.

// `text` as a JSON string (JsonText::Plain), quotes included.
std::string jsonString(const std::string& text);

// `name` as UTF-8 text a broker accepts: every byte that is not part of a
// well-formed UTF-8 character, or that belongs to a control character, is
// written "%XX" (hex). Names are single-byte text, so any byte may come.
std::string utf8Escaped(const std::string& name);
