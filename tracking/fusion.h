#pragma once
// The fusion node's core: camera nodes' frames grouped by capture time, and
// for each instant one world pose per body and per catalogued marker, fitted
// to the corners of every camera that saw it. No I/O: the caller hands in
// what the broker delivered (records of node_messages.h) with its own
// steady-clock time, and polls for fused frames, so the grouping and the
// node bookkeeping run the same under test without sleeping.
//
// Grouping. A frame joins the open group whose capture time is nearest to
// its own, within the window, and that holds no frame of its node yet;
// otherwise it opens a group at its capture time. A group is fused as soon
// as every awaited node (live, with a camera, and whose latest frame had a
// world pose) has given it a frame, or once the window has passed on the
// caller's clock since it opened; older open groups are fused with it, so
// fused frames leave in capture order. A frame no newer than the newest
// fused group, or nearest to a group already fused, is late: counted, not
// fused.
//
// Nodes. Unknown nodes are taken up to maxNodes; beyond, their messages are
// refused (told once per node). A node silent for lostAfterS, or gone (its
// camera message emptied), is lost: told once, its frames no longer
// awaited; it is back, told once, when it sends again. A frame from a node
// without a camera message or without a world pose is counted, not fused
// (told once per node). Pattern names outside the catalogue are ignored
// (told once per name).
//
// Fused frames, all poses in the world frame (mm):
//   markers: one MarkerResult per catalogued marker seen, in catalogue
//     order; X, Y, Z and glMatrix its pose in the world (hasWorld set, the
//     same pose again). The image fields (px, py, area, dx, dy, vertex) are
//     those of the view that saw it largest, in that view's ideal pixels;
//     cf is the best of the views that saw it.
//   bodies: one BodyPose per body of the fusion's list with a fit; pose is
//     body to world (hasWorld set, the same), rmsPx over every camera used.
//   nodes: the nodes whose frames were in the group, in name order.
// The fused frame's number counts from 1; its time is the group's capture
// time (the opening frame's, seconds since 1970 on the nodes' clocks).
//
// What it tells (through `notice`, each once): "node NAME lost", "node NAME
// back", "node NAME refused: already N nodes", "node NAME has sent no camera
// yet: its frames are not fused", "node NAME has no world pose yet: its
// frames are not fused", "pattern P from node NAME is not catalogued:
// ignored", "node NAME: message refused: WHY", and frames over the marker
// cap or of another size than the node's camera.
//
// Not thread-safe: one thread (or one lock) drives an instance.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>
#include "bodies.h"
#include "body_pose.h"
#include "marker_result.h"
#include "multi_view_pose.h"
#include "node_messages.h"
#include "pattern_entry.h"
#include "report.h"

struct FusionOptions {
    double windowS = 0.020;        // --window: frames this close in capture time are one instant
    double lostAfterS = 1.0;       // a node silent this long is lost
    size_t maxNodes = 32;          // nodes taken; more are refused
    size_t maxMarkers = kNodeMarkersMax; // markers a frame may carry; a frame with more is refused
};

struct FusedFrame {
    FrameStamp stamp;
    ResultTable markers;
    BodyTable bodies;
    std::vector<std::string> nodes;
};

struct NodeStatus {
    std::string name;
    bool lost = false;
    bool hasCamera = false;        // its camera message is held
    bool hasWorldPose = false;     // its latest frame carried a world pose
    NodeWorldPose worldPose;       // that pose, camera to world
    int width = 0, height = 0;     // its camera's frame size
    uint64_t frames = 0;           // frames taken from it
    uint64_t fused = 0;            // of those, fused into a world frame
    uint64_t late = 0;             // of those, arrived too late to be fused
    uint64_t refused = 0;          // its messages refused (unreadable, over a cap, or from a node beyond maxNodes)
    double lastSeen = 0.0;         // caller's clock, seconds
};

class Fusion {
public:
    using Notice = std::function<void(const std::string&)>;

    // `catalogue` names the markers fused (names and widths; a pattern's
    // index is its fused patternId); `bodies` those of the fusion's own
    // bodies file (members matched to the nodes' markers by pattern name).
    Fusion(FusionOptions options, Catalogue catalogue, std::vector<Body> bodies, Notice notice);

    // A node's camera message (its projection and frame size).
    void takeCamera(const NodeCamera& camera, double now);
    // The node's camera message was emptied: its last will or clean exit.
    void nodeGone(const std::string& node, double now);
    // A node's frame, as read.
    void takeFrame(NodeFrame frame, double now);
    // A message from `node` could not be read, for `why` (told once per
    // node and reason).
    void refused(const std::string& node, const std::string& why, double now);

    // Fuses the groups that are ready and marks silent nodes lost; the fused
    // frames in capture order.
    std::vector<FusedFrame> poll(double now);
    // Every node taken, in name order.
    std::vector<NodeStatus> nodes() const;
    const FusionOptions& options() const { return options_; }

private:
    struct Node {
        NodeStatus status;
        std::optional<NodeCamera> camera;
        std::set<std::string> reasonsTold;
        bool toldNoCamera = false, toldNoWorldPose = false;
    };
    // A frame with its node's projection as it was when taken: the node
    // may be gone by the time its group is fused.
    struct Taken {
        NodeFrame frame;
        double projection[3][4] = {};
    };
    struct Group {
        double time = 0.0;         // capture time of the opening frame
        double openedAt = 0.0;     // caller's clock
        bool fused = false;
        std::vector<Taken> frames; // one per node; their markers dropped once fused
        bool holds(const std::string& node) const;
    };
    // Per view and catalogue row, the surest of the view's markers of that pattern.
    using Seen = std::vector<std::map<size_t, const NodeMarker*>>;

    Node* nodeFor(const std::string& name);
    void heardFrom(Node& node, double now);
    bool acceptable(Node& node, const NodeFrame& frame);
    void fileFrame(Taken taken, double now);
    bool complete(const Group& group) const;
    FusedFrame fuse(Group& group);
    void fuseMarkers(const std::vector<WorldView>& views, const Seen& seen, FusedFrame& out) const;
    void fuseBodies(const std::vector<WorldView>& views, const Seen& seen, FusedFrame& out) const;
    void tellOnce(Node& node, const std::string& reason, const std::string& text);

    FusionOptions options_;
    Catalogue catalogue_;
    std::map<std::string, size_t> patternIndex_;   // catalogue name to its row
    std::vector<Body> lone_;                       // each catalogue row as a body of one member
    std::vector<Body> bodies_;
    Notice notice_;
    std::map<std::string, Node> nodes_;
    std::deque<Group> groups_;             // open ones, then the recently fused, in capture order
    double newestFused_ = -1e300;          // capture time of the newest fused group
    uint64_t fusedCount_ = 0;
    std::set<std::string> refusedNodesTold_, unknownPatternsTold_;
};
