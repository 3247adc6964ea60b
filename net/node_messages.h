#pragma once
// What a camera node tells a fusion node through the broker, under
// PREFIX/nodes/NAME/. Written by the node (node_messages.cpp) and read by
// the fusion (node_messages_read.cpp); this header is the one description
// of both.
//
//   PREFIX/nodes/NAME/frame   per processed frame, QoS 0, not retained:
//     {"node":"NAME","frame":N,"time":T,"width":W,"height":H,
//      "camera":{"position":[X,Y,Z],"quaternion":[QW,QX,QY,QZ]} | null,
//      "markers":[{"name":"PATTERN","id":ID,"cf":CF,
//                  "corners":[[X0,Y0],[X1,Y1],[X2,Y2],[X3,Y3]]}, ...]}
//     T is the capture time in seconds since 1970 (the node's clock);
//     "camera" the node's camera pose in the world (camera frame to world
//     frame, mm), null while the node does not know it; each marker's
//     corners are its ideal (lens distortion removed) pixels, in pattern
//     order, so the fusion projects with the projection matrix alone.
//
//   PREFIX/nodes/NAME/camera  retained, published on every connection:
//     {"node":"NAME","width":W,"height":H,
//      "projection":[[P00,P01,P02,P03],[P10,...],[P20,...]]}
//     the node's intrinsics for its frame size: an ideal pixel is
//     projection x the homogeneous point in the camera frame (mm). The
//     node's last will, and its clean shutdown, is an empty retained
//     message here: the node has gone, and the broker forgets its camera.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Caps on what one message may make the fusion hold. A message beyond them
// is refused whole, so a node cannot make the fusion allocate without bound.
constexpr std::size_t kNodeMessageMaxBytes = 256 * 1024;
constexpr std::size_t kNodeMarkersMax = 256;      // markers in one frame
constexpr std::size_t kNodeNameMax = 64;          // bytes of a node or pattern name
constexpr int kNodeFrameSideMax = 16384;          // pixels

struct NodeWorldPose {
    double position[3] = {};                  // mm
    double quaternion[4] = {1, 0, 0, 0};      // QW QX QY QZ, unit
};

struct NodeMarker {
    std::string name;        // catalogue name on the node
    int id = -1;             // the node's pattern id
    double cf = 0.0;
    double corner[4][2] = {};// ideal pixels, pattern order
};

struct NodeFrame {
    std::string node;
    uint64_t frame = 0;
    double time = 0.0;       // capture time, seconds since 1970
    int width = 0, height = 0;
    std::optional<NodeWorldPose> camera;  // none while the node has no world pose
    std::vector<NodeMarker> markers;
};

struct NodeCamera {
    std::string node;
    int width = 0, height = 0;
    double projection[3][4] = {};
};

// The texts the node publishes.
std::string nodeFrameJson(const NodeFrame& frame);
std::string nodeCameraJson(const NodeCamera& camera);

// Reading trusts nothing: a text that does not parse, has a member of the
// wrong type, size or range, a number that is not finite, a node name
// that validTopicName refuses, a pattern name that is empty, too long or
// holds a control character, or goes beyond the caps above, gives no
// record and says why in `why`.
std::optional<NodeFrame> readNodeFrame(const std::string& text, std::string& why);
std::optional<NodeCamera> readNodeCamera(const std::string& text, std::string& why);

// Whether `name` may be a prefix level or a node name: not empty, at most
// kNodeNameMax bytes, no +, #, / or white space, and UTF-8 without control
// characters (as a broker takes a topic). A prefix may hold '/' between
// levels, each level held to the same; `isPrefix` allows that.
bool validTopicName(const std::string& name, bool isPrefix = false);
