// One world pose from two rendered cameras 75 degrees apart: closer to the
// truth than either camera's own fit, kept from one camera when the other
// has lost the object, a camera whose world pose is off left out and named,
// and no pose from corners that hold none.
#include <gtest/gtest.h>
#include <algorithm>
#include "body_scene.h"
#include "body_views.h"
#include "multi_view_pose.h"
#include "temp_dir.h"

namespace {

constexpr double kWidthMm = 50.0;

struct TwoViews {
    RigidPose bodyToWorld = poseFromQuaternion(0.9, 0.1, -0.2, 0.3, 100, -50, 800);
    RigidPose cameraToWorld[2];
    ResultTable markers[2];
};

// The board (P0..P3) filmed from two sides, 37.5 degrees either way of its normal.
TwoViews filmBoard(BodyScene& scene, double distanceMm, uint32_t seed) {
    TwoViews views;
    const double target[3] = {0, 0, 0};
    for (int c = 0; c < 2; ++c) {
        const double a = (c == 0 ? -37.5 : 37.5) * 3.14159265358979323846 / 180;
        const double from[3] = {std::sin(a), 0.2, std::cos(a)};
        const RigidPose bodyToCamera = viewOfBody(scene.camera, target, from, distanceMm, 10 + 20 * c, 330, 250);
        views.cameraToWorld[c] = composePoses(views.bodyToWorld, inversePose(bodyToCamera));
        RenderSettings settings;
        settings.noiseSigma = 3;
        settings.seed = seed + c;
        scene.render({bodyToCamera}, settings, views.markers[c]);
    }
    return views;
}

std::vector<ViewSighting> sightingsOf(const Body& body, const ResultTable& markers, size_t view) {
    std::vector<ViewSighting> out;
    for (const MarkerResult& r : markers)
        for (size_t m = 0; m < body.members.size(); ++m)
            if (body.members[m].patternId == r.patternId) {
                ViewSighting s;
                s.view = view, s.member = m;
                std::copy(&r.vertex[0][0], &r.vertex[0][0] + 8, &s.corner[0][0]);
                out.push_back(s);
            }
    return out;
}

std::vector<WorldView> worldViews(const TwoViews& v, const CameraParam& camera) {
    std::vector<WorldView> views(2);
    for (int c = 0; c < 2; ++c) {
        views[c].node = c == 0 ? "left" : "right";
        std::copy(&camera.projection[0][0], &camera.projection[0][0] + 12, &views[c].projection[0][0]);
        views[c].cameraToWorld = v.cameraToWorld[c];
    }
    return views;
}

TEST(MultiViewPose, TwoCamerasBeatEitherAlone) {
    TempDir dir;
    BodyScene scene(defaultCameraParam(), 4, kWidthMm, dir.path());
    scene.addBody("board", boardLayout(2, 2, kWidthMm, kWidthMm / 2), 0);
    detectorState().options.cornerRefine = true;
    double fused = 0, best = 0;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const TwoViews v = filmBoard(scene, 1200 + 100 * seed, seed * 7);
        const std::vector<WorldView> views = worldViews(v, scene.camera);
        std::vector<ViewSighting> both = sightingsOf(scene.bodies[0], v.markers[0], 0);
        const std::vector<ViewSighting> right = sightingsOf(scene.bodies[0], v.markers[1], 1);
        both.insert(both.end(), right.begin(), right.end());
        WorldFit fit;
        ASSERT_TRUE(fitWorldBody(scene.bodies[0], views, both, fit));
        EXPECT_EQ(fit.nodes, (std::vector<std::string>{"left", "right"}));
        EXPECT_EQ(fit.members.size(), 4u);
        EXPECT_LT(fit.rmsPx, 1.0);
        fused += positionError(fit.pose, v.bodyToWorld);
        double alone = 1e9;
        for (int c = 0; c < 2; ++c) {
            const BodyTable own = fitBodies(scene.bodies, v.markers[c], scene.camera);
            ASSERT_EQ(own.size(), 1u);
            alone = std::min(alone, positionError(composePoses(v.cameraToWorld[c], own[0].pose), v.bodyToWorld));
        }
        best += alone;
    }
    EXPECT_LT(fused, 0.7 * best) << "fused " << fused / 4 << " mm, better camera " << best / 4 << " mm";
}

TEST(MultiViewPose, OneCameraCarriesItAndAWrongCameraIsLeftOut) {
    TempDir dir;
    BodyScene scene(defaultCameraParam(), 4, kWidthMm, dir.path());
    scene.addBody("board", boardLayout(2, 2, kWidthMm, kWidthMm / 2), 0);
    detectorState().options.cornerRefine = true;
    const TwoViews v = filmBoard(scene, 900, 3);
    const Body& board = scene.bodies[0];
    const Body lone = loneMarkerBody("P2", kWidthMm);
    const RigidPose p2 = composePoses(v.bodyToWorld, memberPose(board.members[2]));
    struct Case {
        const char* what;
        bool lone;            // the marker P2 alone, not the board
        bool hideRight;       // the right camera saw nothing of it
        double shiftLeftMm;   // the left camera's world pose is this far off
        std::vector<std::string> nodes, rejectedNodes;
    } cases[] = {
        {"board, right camera covered", false, true, 0, {"left"}, {}},
        {"board, left camera off by 40 mm", false, false, 40, {"right"}, {"left"}},
        {"marker from both", true, false, 0, {"left", "right"}, {}},
        {"marker, right camera covered", true, true, 0, {"left"}, {}},
        {"marker, left camera off by 40 mm", true, false, 40, {"right"}, {"left"}},
    };
    for (const Case& c : cases) {
        std::vector<WorldView> views = worldViews(v, scene.camera);
        views[0].cameraToWorld.t[0] += c.shiftLeftMm;
        std::vector<ViewSighting> sightings;
        for (size_t view = 0; view < 2; ++view)
            if (view == 0 || !c.hideRight)
                for (ViewSighting s : sightingsOf(board, v.markers[view], view)) {
                    if (!c.lone) sightings.push_back(s);
                    else if (s.member == 2) s.member = 0, sightings.push_back(s);
                }
        WorldFit fit;
        ASSERT_TRUE(fitWorldBody(c.lone ? lone : board, views, sightings, fit)) << c.what;
        EXPECT_EQ(fit.nodes, c.nodes) << c.what;
        EXPECT_EQ(fit.rejectedNodes, c.rejectedNodes) << c.what;
        const RigidPose& truth = c.lone ? p2 : v.bodyToWorld;
        EXPECT_LT(positionError(fit.pose, truth), 0.01 * 900) << c.what;
        EXPECT_LT(rotationErrorDeg(fit.pose, truth), c.lone && c.nodes.size() == 1 ? 3.0 : 1.0) << c.what;
    }
}

TEST(MultiViewPose, CornersThatHoldNoPoseGiveNone) {
    const CameraParam camera = defaultCameraParam();
    std::vector<WorldView> views(2);
    for (WorldView& v : views) std::copy(&camera.projection[0][0], &camera.projection[0][0] + 12, &v.projection[0][0]);
    views[1].cameraToWorld.t[0] = 500;
    const Body lone = loneMarkerBody("P0", kWidthMm);
    struct Case {
        const char* what;
        std::vector<ViewSighting> sightings;
    } cases[] = {
        {"nothing seen", {}},
        {"on one line in both views", {{0, 0, {{300, 240}, {310, 240}, {320, 240}, {330, 240}}},
                                       {1, 0, {{200, 240}, {210, 240}, {220, 240}, {230, 240}}}}},
        {"edge-on", {{0, 0, {{300, 240}, {360, 241}, {361, 242}, {301, 241}}}}},
        {"an unknown view and member", {{2, 0, {{300, 200}, {340, 200}, {340, 240}, {300, 240}}},
                                        {0, 1, {{300, 200}, {340, 200}, {340, 240}, {300, 240}}}}},
    };
    for (const Case& c : cases) {
        WorldFit fit;
        EXPECT_FALSE(fitWorldBody(lone, views, c.sightings, fit)) << c.what;
    }
}

} // namespace
