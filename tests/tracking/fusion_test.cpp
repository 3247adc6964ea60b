// The fusion's grouping and node bookkeeping, driven on its own clock with
// frames whose corners are a known marker and body projected by two
// cameras: what is fused and when, late frames, lost and returning nodes,
// nodes that cannot be fused yet, and the caps.
#include <gtest/gtest.h>
#include <algorithm>
#include "body_scene.h"
#include "body_views.h"
#include "fusion.h"

namespace {

constexpr double kWidthMm = 50.0;

struct Scene {
    CameraParam camera = defaultCameraParam();
    Catalogue catalogue;
    std::vector<Body> bodies;
    RigidPose boardToWorld = poseFromQuaternion(1, 0, 0, 0, 0, 0, 0);
    std::vector<std::string> told;

    Scene() {
        for (int i = 0; i < 5; ++i) catalogue.push_back(PatternEntry{i, "P" + std::to_string(i), "", kWidthMm, true});
        Body board{"board", {}};
        const std::vector<RigidPose> layout = boardLayout(2, 2, kWidthMm, 25);
        for (size_t i = 0; i < layout.size(); ++i) {
            BodyMember m;
            m.pattern = catalogue[i].name;
            m.patternId = static_cast<int>(i);
            m.widthMm = kWidthMm;
            setMemberPose(m, layout[i]);
            board.members.push_back(m);
        }
        bodies.push_back(board);
    }
    Fusion fusion(FusionOptions options = {}) {
        return Fusion(options, catalogue, bodies, [this](const std::string& t) { told.push_back(t); });
    }
    size_t toldCount(const std::string& text) const { return std::count(told.begin(), told.end(), text); }

    // Node `i` sits 800 mm from the board, 30 degrees to one side or the other.
    NodeWorldPose cameraPose(int i) const {
        const double a = (i % 2 ? 30.0 : -30.0) * 3.14159265358979323846 / 180;
        const double from[3] = {std::sin(a), 0, std::cos(a)}, target[3] = {0, 0, 0};
        const RigidPose toWorld = composePoses(boardToWorld, inversePose(viewOfBody(camera, target, from, 800, 0, 320, 240)));
        NodeWorldPose p;
        std::copy(toWorld.t, toWorld.t + 3, p.position);
        quaternionOf(toWorld.R, p.quaternion);
        return p;
    }
    NodeCamera nodeCamera(const std::string& node) const {
        NodeCamera c{node, 640, 480, {}};
        std::copy(&camera.projection[0][0], &camera.projection[0][0] + 12, &c.projection[0][0]);
        return c;
    }
    // Frame of node `i` at capture time `t`: the board's four members projected.
    NodeFrame frame(int i, double t, bool withPose = true) const {
        NodeFrame f{"n" + std::to_string(i), 1, t, 640, 480, {}, {}};
        const NodeWorldPose pose = cameraPose(i);
        if (withPose) f.camera = pose;
        const RigidPose toCamera = inversePose(poseFromQuaternion(pose.quaternion[0], pose.quaternion[1], pose.quaternion[2],
                                                                  pose.quaternion[3], pose.position[0],
                                                                  pose.position[1], pose.position[2]));
        for (const BodyMember& m : bodies[0].members) {
            NodeMarker marker{m.pattern, m.patternId, 0.9, {}};
            double corners[4][3];
            memberCorners(m, corners);
            for (int k = 0; k < 4; ++k) {
                double world[3], X[3];
                transformPoint(boardToWorld, corners[k], world);
                transformPoint(toCamera, world, X);
                double x[3];
                for (int r = 0; r < 3; ++r) {
                    const double* P = camera.projection[r];
                    x[r] = P[0] * X[0] + P[1] * X[1] + P[2] * X[2] + P[3];
                }
                marker.corner[k][0] = x[0] / x[2], marker.corner[k][1] = x[1] / x[2];
            }
            f.markers.push_back(marker);
        }
        return f;
    }
};

TEST(Fusion, TwoNodesFuseOnceBothGaveTheInstant) {
    Scene s;
    Fusion fusion = s.fusion();
    for (int i = 0; i < 2; ++i) {
        fusion.takeCamera(s.nodeCamera("n" + std::to_string(i)), 0.0);
        fusion.takeFrame(s.frame(i, 99.967), 0.0);   // each now known to have a world pose
    }
    EXPECT_EQ(fusion.poll(0.0).size(), 1u);
    fusion.takeFrame(s.frame(0, 100.000), 0.001);
    EXPECT_TRUE(fusion.poll(0.002).empty()) << "n1 is awaited";
    fusion.takeFrame(s.frame(1, 100.008), 0.003);
    const std::vector<FusedFrame> out = fusion.poll(0.003);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].stamp.frame, 2u);
    EXPECT_EQ(out[0].stamp.captureTime, 100.000);
    EXPECT_EQ(out[0].nodes, (std::vector<std::string>{"n0", "n1"}));
    EXPECT_EQ(out[0].markers.size(), 4u);
    ASSERT_EQ(out[0].bodies.size(), 1u);
    const BodyPose& board = out[0].bodies[0];
    EXPECT_TRUE(board.hasWorld);
    EXPECT_LT(positionError(board.pose, s.boardToWorld) + rotationErrorDeg(board.pose, s.boardToWorld), 0.01);
    EXPECT_EQ(board.members.size(), 4u);
    const MarkerResult& p0 = out[0].markers[0];
    const RigidPose p0Truth = composePoses(s.boardToWorld, memberPose(s.bodies[0].members[0]));
    EXPECT_EQ(p0.name, "P0");
    EXPECT_LT(std::hypot(p0.X - p0Truth.t[0], p0.Y - p0Truth.t[1], p0.Z - p0Truth.t[2]), 0.01);
    EXPECT_GT(p0.area, 0);

    // Node 1's frame of the same instant again, and one from before it: late.
    fusion.takeFrame(s.frame(0, 100.005), 0.004);   // n0 only once per group: opens the next
    fusion.takeFrame(s.frame(1, 99.990), 0.004);
    fusion.takeFrame(s.frame(1, 99.900), 0.004);
    const std::vector<NodeStatus> nodes = fusion.nodes();
    EXPECT_EQ(nodes[1].late, 2u);
    EXPECT_EQ(nodes[1].fused, 2u);
    EXPECT_EQ(nodes[0].frames, 3u);
}

TEST(Fusion, AnInstantWaitsNoLongerThanTheWindow) {
    Scene s;
    Fusion fusion = s.fusion();
    for (int i = 0; i < 2; ++i) fusion.takeCamera(s.nodeCamera("n" + std::to_string(i)), 0.0);
    fusion.takeFrame(s.frame(1, 5.0), 0.0);
    EXPECT_EQ(fusion.poll(0.0).size(), 1u) << "n0 is not awaited before it has a world pose";
    fusion.takeFrame(s.frame(0, 5.033), 0.033);
    EXPECT_TRUE(fusion.poll(0.052).empty()) << "n1 is awaited";
    const std::vector<FusedFrame> out = fusion.poll(0.054);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].nodes, std::vector<std::string>{"n0"});
    EXPECT_EQ(out[0].bodies.size(), 1u) << "one camera is enough";
}

TEST(Fusion, NodesComeGoAndAreToldOnce) {
    Scene s;
    FusionOptions options;
    options.maxNodes = 3;
    options.maxMarkers = 4;
    Fusion fusion = s.fusion(options);
    fusion.takeCamera(s.nodeCamera("n0"), 0.0);
    fusion.takeCamera(s.nodeCamera("n1"), 0.0);
    for (int i = 0; i < 30; ++i) {
        const double t = 0.1 * i;
        fusion.takeFrame(s.frame(0, 50 + t), t);
        if (t < 1.0 || t > 2.0) fusion.takeFrame(s.frame(1, 50 + t), t);
        fusion.takeFrame(s.frame(2, 50 + t, false), t);   // no camera message, no world pose
        fusion.takeFrame(s.frame(3, 50 + t), t);          // one node too many
        fusion.poll(t + 0.05);
    }
    EXPECT_EQ(s.toldCount("node n1 lost"), 1u);
    EXPECT_EQ(s.toldCount("node n1 back"), 1u);
    EXPECT_EQ(s.toldCount("node n2 has sent no camera yet: its frames are not fused"), 1u);
    EXPECT_EQ(s.toldCount("node n3 refused: already 3 nodes"), 1u);
    fusion.takeCamera(s.nodeCamera("n2"), 3.0);
    fusion.takeFrame(s.frame(2, 60, false), 3.0);
    fusion.takeFrame(s.frame(2, 61, false), 3.0);
    EXPECT_EQ(s.toldCount("node n2 has no world pose yet: its frames are not fused"), 1u);

    NodeFrame crowded = s.frame(0, 70);
    crowded.markers.push_back(crowded.markers[0]);
    fusion.takeFrame(crowded, 3.0);
    NodeFrame strange = s.frame(0, 71);
    strange.markers[0].name = "Q9";
    for (int i = 0; i < 2; ++i) fusion.takeFrame(strange, 3.1), fusion.poll(3.2);
    fusion.refused("n1", "not JSON", 3.0);
    fusion.refused("n1", "not JSON", 3.0);
    fusion.nodeGone("n0", 3.3);
    fusion.nodeGone("n0", 3.3);
    EXPECT_EQ(s.toldCount("node n0: frame of 5 markers refused (at most 4)"), 1u);
    EXPECT_EQ(s.toldCount("pattern Q9 from node n0 is not catalogued: ignored"), 1u);
    EXPECT_EQ(s.toldCount("node n1: message refused: not JSON"), 1u);
    EXPECT_EQ(s.toldCount("node n0 lost"), 1u);

    const std::vector<NodeStatus> nodes = fusion.nodes();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_TRUE(nodes[0].lost && !nodes[0].hasCamera);
    EXPECT_EQ(nodes[0].refused, 1u);
    EXPECT_EQ(nodes[1].refused, 2u);
    EXPECT_EQ(nodes[2].fused, 0u);
    EXPECT_EQ(nodes[2].frames, 32u);
    EXPECT_GT(nodes[1].fused, 15u);
    EXPECT_EQ(nodes[0].fused, 31u);
}

} // namespace
