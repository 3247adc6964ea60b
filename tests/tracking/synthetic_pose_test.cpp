// The posed synthetic camera's conventions: the README's two cameras look
// at the origin with the world upright; hide= must name something filmed;
// frames are instants of the wall clock; the moving markers fly apart.
#include <gtest/gtest.h>
#include <cmath>
#include "render.h"
#include "synthetic_scene.h"

TEST(SyntheticPose, TheReadmesCamerasLookAtTheOriginUpright) {
    const struct {
        const char* source;
        double right[3];  // the world direction that is right in the image
    } cases[] = {
        {"synthetic:pose=0,-800,800,-135,0,0", {1, 0, 0}},
        {"synthetic:pose=800,0,800,-135,0,90", {0, 1, 0}},
    };
    for (const auto& c : cases) {
        SyntheticView view;
        std::string error;
        ASSERT_TRUE(parseSyntheticSource(c.source, view, error)) << error;
        const RigidPose toCamera = inversePose(cameraPoseFromAngles(view.pose));
        double origin[3], right[3], up[3];
        const double zero[3] = {0, 0, 0}, above[3] = {0, 0, 100};
        transformPoint(toCamera, zero, origin);
        transformPoint(toCamera, c.right, right);
        transformPoint(toCamera, above, up);
        EXPECT_NEAR(origin[0], 0, 1e-9) << c.source;
        EXPECT_NEAR(origin[1], 0, 1e-9) << c.source;
        EXPECT_NEAR(origin[2], 800 * std::sqrt(2.0), 1e-9) << c.source;
        EXPECT_GT(right[0] - origin[0], 0.99) << c.source << ": right in the image";
        EXPECT_LT(up[1] - origin[1], -50) << c.source << ": the world's up is up in the image";
    }
}

TEST(SyntheticPose, HiddenNamesAreFilmedAndTheMarkersFlyApartAboveTheFloor) {
    SyntheticScene scene(defaultCameraParam(), {makeRandomPattern(1), makeRandomPattern(2)}, {50, 60});
    SyntheticView view;
    std::string error;
    ASSERT_TRUE(parseSyntheticSource("synthetic:pose=100,-600,500,-130,5,10;hide=B", view, error)) << error;
    ASSERT_TRUE(scene.filmFrom(view, {"A", "B"}, error)) << error;
    EXPECT_FALSE(scene.filmFrom(view, {"A", "C"}, error)) << "hide=B names nothing filmed";
    const long k = syntheticFrameAt(1.7e9);
    EXPECT_EQ(syntheticFrameTime(k), k / 30.0);
    // Hidden or not, every marker keeps its truth; each flies apart from the other.
    const RigidPose a = scene.worldPoseAt(0, k), b = scene.worldPoseAt(1, k);
    EXPECT_GT(a.t[2], 100);
    EXPECT_GT(b.t[2], 100);
    EXPECT_GT(std::hypot(a.t[0] - b.t[0], a.t[1] - b.t[1], a.t[2] - b.t[2]), 60);
}
