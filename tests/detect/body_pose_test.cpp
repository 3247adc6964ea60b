// One pose per body from the rendered members: against the render's truth,
// with members covered or displaced, and no pose from corners that hold none.
#include <gtest/gtest.h>
#include <algorithm>
#include "body_scene.h"
#include "temp_dir.h"

namespace {

constexpr double kWidthMm = 50.0;

struct Case {
    const char* what;
    bool cube;
    double distanceMm, tiltX, tiltY, roll;
    size_t minMembers;         // at least this many used
    int coverAllBut = -1;      // only this member left in view
    int displaced = -1;        // member printed off its listed place
    int axis = 0;              // along this body axis, in the member's plane,
    double shiftMm = 0;        // by this much (away from the others)
    double gapMm = kWidthMm / 2;  // between a board's squares
};

const Case kCases[] = {
    {"board facing", false, 600, 0, 0, 0, 4},
    {"board tilted and turned", false, 800, 35, -20, 130, 4},
    {"cube, three faces", true, 700, 30, 40, 10, 3},
    {"cube from below the top", true, 600, -25, -35, 200, 3},
    {"board, one member in view", false, 600, 20, 10, 0, 1, 2},
    {"cube, one member in view", true, 600, 10, 20, 0, 1, 0},
    {"board, a member moved 20 mm", false, 700, 20, -15, 40, 3, -1, 3, 0, 20},
    {"cube, a member moved 20 mm", true, 600, 30, 40, 10, 2, -1, 3, 2, -20},
    // Narrower than two margins: no member's paper may cover a neighbour.
    {"board with a 4 mm gap", false, 500, 40, 30, 20, 4, -1, -1, 0, 0, 4},
};

TEST(BodyPose, RenderedBodiesGiveTheirPoseAndNameAMovedMember) {
    TempDir dir;
    for (const Case& c : kCases) {
        BodyScene scene(defaultCameraParam(), 5, kWidthMm, dir.path());
        scene.addBody("thing", c.cube ? cubeLayout(1.5 * kWidthMm) : boardLayout(2, 2, kWidthMm, c.gapMm), 0);
        detectorState().options.cornerRefine = true;
        if (c.displaced >= 0) scene.printed[0].members[static_cast<size_t>(c.displaced)].transform[c.axis][3] += c.shiftMm;
        const RigidPose truth = bodyPoseFromView(scene.camera, c.distanceMm, c.tiltX, c.tiltY, c.roll, 330, 230);
        ResultTable markers;
        scene.render({truth}, RenderSettings{}, markers);
        if (c.coverAllBut >= 0)
            markers.erase(std::remove_if(markers.begin(), markers.end(),
                                         [&](const MarkerResult& r) { return r.patternId != c.coverAllBut; }),
                          markers.end());
        const BodyTable bodies = fitBodies(scene.bodies, markers, scene.camera);
        ASSERT_EQ(bodies.size(), 1u) << c.what;
        const BodyPose& body = bodies[0];
        EXPECT_EQ(body.name, "thing");
        EXPECT_GE(body.members.size(), c.minMembers) << c.what;
        // A lone member is a lone square: its pose is a marker's, no better.
        const double share = c.coverAllBut >= 0 ? 0.01 : 0.005;
        EXPECT_LT(positionError(body.pose, truth), share * c.distanceMm) << c.what;
        EXPECT_LT(rotationErrorDeg(body.pose, truth), 1.0) << c.what;
        EXPECT_LT(body.rmsPx, 1.0) << c.what;
        const std::string moved = c.displaced >= 0 ? "P" + std::to_string(c.displaced) : "";
        EXPECT_EQ(body.rejected, c.displaced >= 0 ? std::vector<std::string>{moved} : std::vector<std::string>{})
            << c.what;
        EXPECT_EQ(std::count(body.members.begin(), body.members.end(), moved), 0) << c.what;
        // The matrix and quaternion say the same as the pose.
        const RigidPose fromGl = poseFromGlMatrix(body.glMatrix);
        const RigidPose fromQ = poseFromQuaternion(body.quaternion[0], body.quaternion[1], body.quaternion[2],
                                                   body.quaternion[3], 0, 0, 0);
        EXPECT_LT(rotationErrorDeg(fromGl, body.pose) + rotationErrorDeg(fromQ, body.pose), 1e-4);
    }
}

// A lone square's pose can come out as its mirror, which its four corners
// fit as well. A body tracked in the frame before (turned 3 degrees since)
// keeps its own pose; without that frame it follows the square.
TEST(BodyPose, ALoneMemberMirroredDoesNotFlipABodySeenTheFrameBefore) {
    TempDir dir;
    const struct {
        const char* what;
        bool cube;
        int member;
        double tiltX, tiltY;
    } cases[] = {{"board", false, 1, 25, -15}, {"cube", true, 0, 30, 20}};
    for (const auto& c : cases) {
        BodyScene scene(defaultCameraParam(), 5, kWidthMm, dir.path());
        scene.addBody("thing", c.cube ? cubeLayout(1.5 * kWidthMm) : boardLayout(2, 2, kWidthMm, kWidthMm / 2), 0);
        detectorState().options.cornerRefine = true;
        const RigidPose truth = bodyPoseFromView(scene.camera, 1400, c.tiltX, c.tiltY, 30, 330, 230);
        ResultTable markers;
        scene.render({truth}, RenderSettings{}, markers);
        const auto lone = std::find_if(markers.begin(), markers.end(),
                                       [&](const MarkerResult& r) { return r.patternId == c.member; });
        ASSERT_NE(lone, markers.end()) << c.what;
        MarkerResult mirrored = *lone;
        poseToGlMatrix(mirroredMarkerPose(poseFromGlMatrix(lone->glMatrix)), mirrored.glMatrix);
        BodyTable before(1);
        before[0].name = "thing";
        const double turn[3] = {0.03, -0.03, 0.03};  // 3 degrees
        turnRotation(turn, truth.R, before[0].pose.R);
        const BodyTable alone = fitBodies(scene.bodies, {mirrored}, scene.camera);
        const BodyTable after = fitBodies(scene.bodies, {mirrored}, scene.camera, &before);
        ASSERT_EQ(alone.size() + after.size(), 2u) << c.what;
        EXPECT_GT(rotationErrorDeg(alone[0].pose, truth), 10.0) << c.what << ": the mirror is no pose of its own here";
        EXPECT_LT(rotationErrorDeg(after[0].pose, truth), 2.0) << c.what;
        EXPECT_LT(after[0].rmsPx, 1.0) << c.what;
    }
}

TEST(BodyPose, CornersThatHoldNoPoseGiveNone) {
    const CameraParam camera = defaultCameraParam();
    Body body{"thing", {}};
    for (const RigidPose& p : boardLayout(2, 1, kWidthMm, 10)) {
        BodyMember m;
        m.pattern = "P" + std::to_string(body.members.size());
        m.widthMm = kWidthMm;
        setMemberPose(m, p);
        body.members.push_back(m);
    }
    const RigidPose facing = bodyPoseFromView(camera, 600, 0, 0, 0, 320, 240);
    struct Sighting {
        const char* what;
        double corner[4][2];
    } cases[] = {
        {"all corners on one line", {{300, 240}, {310, 240}, {320, 240}, {330, 240}}},
        {"seen edge-on", {{300, 240}, {360, 241}, {361, 242}, {301, 241}}},
    };
    for (const Sighting& s : cases) {
        MemberSighting sighting;
        sighting.markerPose = composePoses(facing, memberPose(body.members[0]));
        std::copy(&s.corner[0][0], &s.corner[0][0] + 8, &sighting.corner[0][0]);
        BodyPose pose;
        EXPECT_FALSE(fitBodyPose(body, {sighting}, camera, pose)) << s.what;
    }
    Body unmeasured = body;
    unmeasured.members[1].poseKnown = false;
    EXPECT_TRUE(fitBodies({unmeasured}, ResultTable(1), camera).empty()) << "a body not measured is not tracked";
}

} // namespace
