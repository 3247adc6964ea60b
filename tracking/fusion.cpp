#include "fusion.h"
#include <algorithm>
#include <cmath>
#include "multi_view_pose.h"

namespace {

// Open groups beyond this are fused oldest first whatever they wait for: a
// node whose clock jumps about cannot make the fusion hold groups without bound.
constexpr size_t kOpenGroupsMax = 64;
// Reasons told per node, and names told in all: beyond, refusals are only counted.
constexpr size_t kReasonsToldMax = 8;
constexpr size_t kNamesToldMax = 256;

RigidPose cameraToWorld(const NodeWorldPose& p) {
    return poseFromQuaternion(p.quaternion[0], p.quaternion[1], p.quaternion[2], p.quaternion[3], p.position[0],
                              p.position[1], p.position[2]);
}

double cornersArea(const double corner[4][2]) {
    double area = 0.0;
    for (int k = 0; k < 4; ++k)
        area += corner[k][0] * corner[(k + 1) % 4][1] - corner[(k + 1) % 4][0] * corner[k][1];
    return std::fabs(area) / 2;
}

// The image fields of a marker's report from one view's corners, as the
// detector fills them from its own (centre, direction of edge 0-1, area).
void fillImageFields(MarkerResult& r, const NodeMarker& seen) {
    r.px = r.py = 0.0;
    for (int k = 0; k < 4; ++k) {
        r.vertex[k][0] = seen.corner[k][0], r.vertex[k][1] = seen.corner[k][1];
        r.px += seen.corner[k][0] / 4, r.py += seen.corner[k][1] / 4;
    }
    const double mx = (seen.corner[0][0] + seen.corner[1][0]) / 2 - r.px;
    const double my = (seen.corner[0][1] + seen.corner[1][1]) / 2 - r.py;
    const double len = std::hypot(mx, my);
    r.dx = len > 0.0 ? mx / len : 0.0;
    r.dy = len > 0.0 ? my / len : 0.0;
    r.area = static_cast<int>(std::lround(std::min(cornersArea(seen.corner), 2e9)));
}

void setWorldPose(const RigidPose& pose, double glMatrix[16], double position[3], double quaternion[4]) {
    poseToGlMatrix(pose, glMatrix);
    quaternionOf(pose.R, quaternion);
    for (int r = 0; r < 3; ++r) position[r] = pose.t[r];
}

} // namespace

bool Fusion::Group::holds(const std::string& node) const {
    for (const Taken& t : frames)
        if (t.frame.node == node) return true;
    return false;
}

Fusion::Fusion(FusionOptions options, Catalogue catalogue, std::vector<Body> bodies, Notice notice)
    : options_(options), catalogue_(std::move(catalogue)), bodies_(std::move(bodies)), notice_(std::move(notice)) {
    for (size_t i = 0; i < catalogue_.size(); ++i) {
        patternIndex_.emplace(catalogue_[i].name, i);
        lone_.push_back(loneMarkerBody(catalogue_[i].name, catalogue_[i].width));
    }
}

void Fusion::tellOnce(Node& node, const std::string& reason, const std::string& text) {
    if (node.reasonsTold.size() >= kReasonsToldMax || !node.reasonsTold.insert(reason).second) return;
    if (notice_) notice_(text);
}

Fusion::Node* Fusion::nodeFor(const std::string& name) {
    const auto found = nodes_.find(name);
    if (found != nodes_.end()) return &found->second;
    if (nodes_.size() >= options_.maxNodes) {
        if (refusedNodesTold_.size() < kNamesToldMax && refusedNodesTold_.insert(name).second && notice_)
            notice_("node " + name + " refused: already " + std::to_string(options_.maxNodes) + " nodes");
        return nullptr;
    }
    Node& node = nodes_[name];
    node.status.name = name;
    return &node;
}

void Fusion::heardFrom(Node& node, double now) {
    node.status.lastSeen = now;
    if (!node.status.lost) return;
    node.status.lost = false;
    if (notice_) notice_("node " + node.status.name + " back");
}

void Fusion::takeCamera(const NodeCamera& camera, double now) {
    Node* node = nodeFor(camera.node);
    if (!node) return;
    heardFrom(*node, now);
    node->camera = camera;
    node->status.hasCamera = true;
    node->status.width = camera.width;
    node->status.height = camera.height;
}

void Fusion::nodeGone(const std::string& name, double /*now*/) {
    const auto found = nodes_.find(name);
    if (found == nodes_.end()) return;
    Node& node = found->second;
    node.camera.reset();
    node.status.hasCamera = false;
    if (node.status.lost) return;
    node.status.lost = true;
    if (notice_) notice_("node " + name + " lost");
}

void Fusion::refused(const std::string& name, const std::string& why, double now) {
    Node* node = nodeFor(name);
    if (!node) return;
    heardFrom(*node, now);
    ++node->status.refused;
    tellOnce(*node, why, "node " + name + ": message refused: " + why);
}

// Whether a frame of `node` can be fused: within the caps, from a node
// whose camera is known and that knows its own world pose.
bool Fusion::acceptable(Node& node, const NodeFrame& frame) {
    const std::string& name = node.status.name;
    if (frame.markers.size() > options_.maxMarkers) {
        ++node.status.refused;
        tellOnce(node, "markers", "node " + name + ": frame of " + std::to_string(frame.markers.size()) +
                                      " markers refused (at most " + std::to_string(options_.maxMarkers) + ")");
        return false;
    }
    if (!node.camera) {
        if (!node.toldNoCamera && notice_) notice_("node " + name + " has sent no camera yet: its frames are not fused");
        node.toldNoCamera = true;
        return false;
    }
    if (!frame.camera) {
        if (!node.toldNoWorldPose && notice_) notice_("node " + name + " has no world pose yet: its frames are not fused");
        node.toldNoWorldPose = true;
        return false;
    }
    if (frame.width != node.camera->width || frame.height != node.camera->height) {
        ++node.status.refused;
        tellOnce(node, "size", "node " + name + ": frames of " + std::to_string(frame.width) + "x" +
                                   std::to_string(frame.height) + " are not its camera's " +
                                   std::to_string(node.camera->width) + "x" + std::to_string(node.camera->height) +
                                   ": not fused");
        return false;
    }
    return true;
}

void Fusion::takeFrame(NodeFrame frame, double now) {
    Node* node = nodeFor(frame.node);
    if (!node) return;
    heardFrom(*node, now);
    ++node->status.frames;
    node->status.hasWorldPose = frame.camera.has_value();
    if (frame.camera) node->status.worldPose = *frame.camera;
    if (!acceptable(*node, frame)) return;
    Taken taken;
    taken.frame = std::move(frame);
    std::copy(&node->camera->projection[0][0], &node->camera->projection[0][0] + 12, &taken.projection[0][0]);
    fileFrame(std::move(taken), now);
}

// A frame no newer than the newest fused group is late: it could not leave
// in capture order. Otherwise it goes into the nearest group within the
// window that lacks its node; when that group is fused already, it is late.
void Fusion::fileFrame(Taken taken, double now) {
    const NodeFrame& frame = taken.frame;
    Node& node = nodes_[frame.node];
    if (frame.time <= newestFused_) {
        ++node.status.late;
        return;
    }
    Group* nearest = nullptr;
    for (Group& g : groups_) {
        const double gap = std::fabs(g.time - frame.time);
        if (gap <= options_.windowS && !g.holds(frame.node) && (!nearest || gap < std::fabs(nearest->time - frame.time)))
            nearest = &g;
    }
    if (nearest && nearest->fused) {
        ++node.status.late;
        return;
    }
    if (nearest) {
        nearest->frames.push_back(std::move(taken));
        return;
    }
    Group group;
    group.time = frame.time;
    group.openedAt = now;
    group.frames.push_back(std::move(taken));
    auto at = std::upper_bound(groups_.begin(), groups_.end(), group.time,
                               [](double t, const Group& g) { return t < g.time; });
    groups_.insert(at, std::move(group));
}

bool Fusion::complete(const Group& group) const {
    for (const auto& entry : nodes_) {
        const NodeStatus& s = entry.second.status;
        if (!s.lost && s.hasCamera && s.hasWorldPose && !group.holds(s.name)) return false;
    }
    return true;
}

std::vector<FusedFrame> Fusion::poll(double now) {
    for (auto& entry : nodes_) {
        NodeStatus& s = entry.second.status;
        if (s.lost || now - s.lastSeen < options_.lostAfterS) continue;
        s.lost = true;
        if (notice_) notice_("node " + s.name + " lost");
    }
    // The newest group that is ready takes every older open group with it.
    size_t open = 0, ready = 0;
    for (size_t i = 0; i < groups_.size(); ++i) {
        const Group& g = groups_[i];
        if (g.fused) continue;
        ++open;
        if (complete(g) || now - g.openedAt >= options_.windowS) ready = i + 1;
    }
    for (size_t i = 0; i < groups_.size() && open > kOpenGroupsMax; ++i)
        if (!groups_[i].fused) ready = std::max(ready, i + 1), --open;

    std::vector<FusedFrame> fused;
    for (size_t i = 0; i < ready; ++i)
        if (!groups_[i].fused) fused.push_back(fuse(groups_[i]));
    // Fused groups are kept while a late frame could still fall in their window.
    while (!groups_.empty() && groups_.front().fused && groups_.front().time < newestFused_ - 2 * options_.windowS)
        groups_.pop_front();
    return fused;
}

FusedFrame Fusion::fuse(Group& group) {
    std::sort(group.frames.begin(), group.frames.end(),
              [](const Taken& a, const Taken& b) { return a.frame.node < b.frame.node; });
    FusedFrame out;
    out.stamp.frame = ++fusedCount_;
    out.stamp.captureTime = group.time;
    std::vector<WorldView> views;
    Seen seen(group.frames.size());
    for (size_t v = 0; v < group.frames.size(); ++v) {
        const NodeFrame& frame = group.frames[v].frame;
        ++nodes_[frame.node].status.fused;
        out.nodes.push_back(frame.node);
        WorldView view;
        view.node = frame.node;
        std::copy(&group.frames[v].projection[0][0], &group.frames[v].projection[0][0] + 12, &view.projection[0][0]);
        view.cameraToWorld = cameraToWorld(*frame.camera);
        views.push_back(view);
        for (const NodeMarker& m : frame.markers) {
            const auto row = patternIndex_.find(m.name);
            if (row == patternIndex_.end()) {
                if (unknownPatternsTold_.size() < kNamesToldMax && unknownPatternsTold_.insert(m.name).second &&
                    notice_)
                    notice_("pattern " + m.name + " from node " + frame.node + " is not catalogued: ignored");
                continue;
            }
            const NodeMarker*& best = seen[v][row->second];
            if (!best || m.cf > best->cf) best = &m;
        }
    }
    fuseMarkers(views, seen, out);
    fuseBodies(views, seen, out);
    group.fused = true;
    for (Taken& t : group.frames) t.frame.markers = {};
    newestFused_ = std::max(newestFused_, group.time);
    return out;
}

void Fusion::fuseMarkers(const std::vector<WorldView>& views, const Seen& seen, FusedFrame& out) const {
    std::map<size_t, std::vector<ViewSighting>> sightings;
    for (size_t v = 0; v < seen.size(); ++v)
        for (const auto& entry : seen[v]) {
            ViewSighting s;
            s.view = v;
            std::copy(&entry.second->corner[0][0], &entry.second->corner[0][0] + 8, &s.corner[0][0]);
            sightings[entry.first].push_back(s);
        }
    for (const auto& entry : sightings) {
        const PatternEntry& pattern = catalogue_[entry.first];
        WorldFit fit;
        if (!(pattern.width > 0.0) || !fitWorldBody(lone_[entry.first], views, entry.second, fit)) continue;
        MarkerResult r;
        r.patternId = static_cast<int>(entry.first);
        r.name = pattern.name;
        r.width = pattern.width;
        const NodeMarker* largest = nullptr;
        for (size_t v = 0; v < views.size(); ++v) {
            const auto in = seen[v].find(entry.first);
            if (in == seen[v].end() || std::find(fit.nodes.begin(), fit.nodes.end(), views[v].node) == fit.nodes.end())
                continue;
            r.cf = std::max(r.cf, in->second->cf);
            if (!largest || cornersArea(in->second->corner) > cornersArea(largest->corner)) largest = in->second;
        }
        fillImageFields(r, *largest);
        r.hasWorld = true;
        setWorldPose(fit.pose, r.glMatrix, r.worldPosition, r.worldQuaternion);
        r.X = r.worldPosition[0], r.Y = r.worldPosition[1], r.Z = r.worldPosition[2];
        out.markers.push_back(r);
    }
}

void Fusion::fuseBodies(const std::vector<WorldView>& views, const Seen& seen, FusedFrame& out) const {
    for (const Body& body : bodies_) {
        if (!body.tracked()) continue;
        std::vector<ViewSighting> sightings;
        for (size_t m = 0; m < body.members.size(); ++m) {
            const auto row = patternIndex_.find(body.members[m].pattern);
            if (row == patternIndex_.end()) continue;
            for (size_t v = 0; v < seen.size(); ++v) {
                const auto in = seen[v].find(row->second);
                if (in == seen[v].end()) continue;
                ViewSighting s;
                s.view = v;
                s.member = m;
                std::copy(&in->second->corner[0][0], &in->second->corner[0][0] + 8, &s.corner[0][0]);
                sightings.push_back(s);
            }
        }
        WorldFit fit;
        if (sightings.empty() || !fitWorldBody(body, views, sightings, fit)) continue;
        BodyPose pose;
        pose.name = body.name;
        pose.pose = fit.pose;
        pose.members = fit.members;
        pose.rejected = fit.rejected;
        pose.rmsPx = fit.rmsPx;
        pose.hasWorld = true;
        setWorldPose(fit.pose, pose.glMatrix, pose.worldPosition, pose.worldQuaternion);
        std::copy(pose.worldQuaternion, pose.worldQuaternion + 4, pose.quaternion);
        out.bodies.push_back(pose);
    }
}

std::vector<NodeStatus> Fusion::nodes() const {
    std::vector<NodeStatus> list;
    for (const auto& entry : nodes_) list.push_back(entry.second.status);
    return list;
}
