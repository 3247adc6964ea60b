// Camera nodes through the real executable and a real broker: what a node
// publishes for a fusion node and under which topics, its last will, the
// refused names; the synthetic camera filming one scene from a pose in the
// world, checked against the scene's own truth.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "headless_run.h"
#include "node_messages.h"
#include "node_scene.h"
#include "output_receivers.h"
#include "rigid_pose.h"
#include "synthetic_scene.h"
#include "temp_dir.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether marker `which` and another overlap in the image (their corners'
// boxes meet), so that one may cover the other.
bool overlapsAnother(const std::vector<MarkerTruth>& truths, size_t which) {
    const auto box = [&](size_t i) {
        double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
        for (const auto& c : truths[i].corner) {
            x0 = std::min(x0, c[0]), y0 = std::min(y0, c[1]), x1 = std::max(x1, c[0]), y1 = std::max(y1, c[1]);
        }
        return cv::Rect2d(x0, y0, x1 - x0, y1 - y0);
    };
    for (size_t i = 0; i < truths.size(); ++i)
        if (i != which && truths[i].inFront && (box(i) & box(which)).area() > 0) return true;
    return false;
}

class CameraNode : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(makeNodeSceneData(dir, error)) << error;
        ASSERT_TRUE(broker.start());
    }
    std::vector<std::string> nodeArgs(const std::string& name, const std::string& source) const {
        return {"-C", dir.path(), "--camera", source, "--world", "Floor", "--camera-fixed", "--refine", "--fields", "name",
                "--mqtt", "127.0.0.1:" + std::to_string(broker.port()) + "/lab", "--node", name};
    }
    // The frames node `name` published, read as a fusion reads them.
    static std::vector<NodeFrame> framesOf(MqttSubscriber& subscriber, const std::string& name) {
        std::vector<NodeFrame> frames;
        for (const MqttMessage& m : subscriber.messages()) {
            if (m.topic != "lab/nodes/" + name + "/frame") continue;
            std::string why;
            auto frame = readNodeFrame(m.payload, why);
            EXPECT_TRUE(frame) << why << m.payload;
            if (frame) frames.push_back(*frame);
        }
        return frames;
    }
    // The scene as source `source` films it, its Data/ read from the temp dir.
    SyntheticScene sceneOf(const std::string& source) {
        SyntheticView view;
        std::string error;
        EXPECT_TRUE(parseSyntheticSource(source, view, error)) << error;
        const std::string back = std::filesystem::current_path().string();
        std::filesystem::current_path(dir.path());
        SyntheticScene scene = SyntheticScene::fromDataDirectory();
        std::filesystem::current_path(back);
        EXPECT_TRUE(scene.filmFrom(view, {"Flag", "Floor_1", "Floor_2", "Floor_3", "Floor_4", "Wand_1", "Wand_2"}, error))
            << error;
        return scene;
    }

    TempDir dir;
    Broker broker{freeLoopbackPort()};
};

// Two nodes 90 degrees apart, one at a third of the rate: each under its
// own name only, its camera retained, its frames on the wall clock's
// instants (the slower one's a subset of the other's), its
// world pose the one its source gives, its corners the truth's.
TEST_F(CameraNode, TwoNodesFilmOneSceneAndPublishWhatAFusionNeeds) {
    MqttSubscriber subscriber(broker.port(), "lab/#");
    ASSERT_TRUE(subscriber.connected());
    const std::map<std::string, std::string> sources{{"left", nodeSceneSource(-90)}, {"right", nodeSceneSource(0, 45, 700, "rate=10")}};
    std::vector<std::unique_ptr<Headless>> runs;
    for (const auto& [name, source] : sources) runs.push_back(std::make_unique<Headless>(nodeArgs(name, source)));
    for (auto& run : runs) ASSERT_GT(run->listeningPort(), 0) << run->errors();
    ASSERT_TRUE(subscriber.waitFor(1200, std::chrono::seconds(30)));
    for (auto& run : runs) run->signal(SIGTERM);
    for (auto& run : runs) EXPECT_EQ(run->exitStatus(), 0) << run->errors();
    const auto stopsArrived = [&] {
        int empty = 0;
        for (const MqttMessage& m : subscriber.messages())
            empty += m.payload.empty() && m.topic.size() > 7 && m.topic.compare(m.topic.size() - 7, 7, "/camera") == 0;
        return empty == 2;
    };
    for (int i = 0; i < 100 && !stopsArrived(); ++i) usleep(20000);

    std::map<std::string, std::set<double>> times;
    for (const auto& [name, source] : sources) {
        SCOPED_TRACE(name);
        const std::string root = "lab/nodes/" + name + "/";
        std::vector<std::string> cameras;
        std::set<std::string> topics;
        for (const MqttMessage& m : subscriber.messages()) {
            if (m.topic.rfind("lab/nodes/", 0) != 0) ADD_FAILURE() << "outside the nodes: " << m.topic;
            if (m.topic.rfind(root, 0) != 0) continue;
            topics.insert(m.topic.substr(root.size()));
            if (m.topic == root + "camera") cameras.push_back(m.payload);
        }
        for (const char* topic : {"report", "frame", "camera", "markers/Floor_1", "bodies/Floor"})
            EXPECT_TRUE(topics.count(topic)) << topic;
        // At each connection, always the same, and empty at the clean stop.
        // A slow run may see the broker lose the node for a moment (its
        // will, empty) and take it back.
        ASSERT_GE(cameras.size(), 2u);
        EXPECT_NE(cameras.front(), "");
        EXPECT_EQ(cameras.back(), "");
        for (const std::string& c : cameras) EXPECT_TRUE(c.empty() || c == cameras[0]);
        std::string why;
        const auto camera = readNodeCamera(cameras[0], why);
        ASSERT_TRUE(camera) << why;
        const CameraParam truthCamera = defaultCameraParam();
        EXPECT_EQ(camera->width, 640);
        for (int c = 0; c < 4; ++c) EXPECT_DOUBLE_EQ(camera->projection[0][c], truthCamera.projection[0][c]);

        const std::vector<NodeFrame> frames = framesOf(subscriber, name);
        ASSERT_GT(frames.size(), 10u);
        const SyntheticScene scene = sceneOf(source);
        const RigidPose truth = scene.cameraPose();
        int checked = 0;
        std::vector<double> cornerErrors;  // pixels
        for (const NodeFrame& frame : frames) {
            const long k = std::lround(frame.time * kSyntheticFramesPerSecond);
            EXPECT_EQ(frame.time, syntheticFrameTime(k)) << "a capture time is an instant of the clock";
            if (name == "right") {
                EXPECT_EQ(k % 3, 0) << "rate=10 films every third instant";
            }
            times[name].insert(frame.time);
            if (&frame != &frames.back() && ++checked > 3) continue;
            ASSERT_TRUE(frame.camera) << "the floor is in view from the first frame";
            const RigidPose seen = poseFromQuaternion(frame.camera->quaternion[0], frame.camera->quaternion[1],
                                                      frame.camera->quaternion[2], frame.camera->quaternion[3],
                                                      frame.camera->position[0], frame.camera->position[1],
                                                      frame.camera->position[2]);
            double off = 0;
            for (int r = 0; r < 3; ++r) off += std::pow(seen.t[r] - truth.t[r], 2);
            EXPECT_LT(std::sqrt(off), 0.02 * 700) << "mm from the source's position";
            EXPECT_LT(rotationBetween(seen.R, truth.R) * 180 / M_PI, 1.5) << "degrees from the source's rotation";
            std::vector<MarkerTruth> truths;
            scene.render(k, &truths);
            ASSERT_GE(frame.markers.size(), 3u);
            for (const NodeMarker& marker : frame.markers) {
                // A marker partly covered by another has no whole truth to meet.
                if (overlapsAnother(truths, static_cast<size_t>(marker.id))) continue;
                for (int c = 0; c < 4; ++c)
                    cornerErrors.push_back(std::hypot(marker.corner[c][0] - truths[marker.id].corner[c][0],
                                                      marker.corner[c][1] - truths[marker.id].corner[c][1]));
            }
        }
        // The frame's clutter may touch a marker now and then and bend a corner.
        ASSERT_GT(cornerErrors.size(), 40u);
        std::sort(cornerErrors.begin(), cornerErrors.end());
        EXPECT_LT(cornerErrors[cornerErrors.size() / 2], 0.75) << "median corner error, px";
        EXPECT_LT(cornerErrors[cornerErrors.size() * 9 / 10], 1.5) << "nine corners in ten, px";
    }
    std::vector<double> shared;
    std::set_intersection(times["left"].begin(), times["left"].end(), times["right"].begin(), times["right"].end(),
                          std::back_inserter(shared));
    EXPECT_GT(shared.size(), 5u) << "both nodes film the same instants";
}

// A node whose world body this camera cannot see has no world pose (and
// --watch says so); one that vanishes without a word leaves its will.
TEST_F(CameraNode, CameraIsNullWithoutTheWorldBodyAndAKilledNodeLeavesItsWill) {
    MqttSubscriber subscriber(broker.port(), "lab/#");
    std::vector<std::string> args = nodeArgs("blind", nodeSceneSource(45, 45, 700, "hide=Floor"));
    args.push_back("--watch");
    Headless run(args);
    ASSERT_GT(run.listeningPort(), 0) << run.errors();
    ASSERT_TRUE(subscriber.waitFor(60));
    run.signal(SIGKILL);
    EXPECT_EQ(run.exitStatus(), -1);
    const auto willCame = [&] {
        const std::vector<MqttMessage> all = subscriber.messages();
        return !all.empty() && all.back().topic == "lab/nodes/blind/camera" && all.back().payload.empty();
    };
    for (int i = 0; i < 200 && !willCame(); ++i) usleep(20000);
    EXPECT_TRUE(willCame());
    EXPECT_TRUE(contains(run.output(), "\nCamera= unknown\n")) << "--watch tells the world pose is not known";
    const std::vector<NodeFrame> frames = framesOf(subscriber, "blind");
    ASSERT_FALSE(frames.empty());
    for (const NodeFrame& frame : frames) {
        EXPECT_FALSE(frame.camera);
        for (const NodeMarker& marker : frame.markers) EXPECT_EQ(marker.name.rfind("Floor", 0), std::string::npos);
    }
}

// Names a broker would misread, a node without a broker and malformed
// synthetic sources are refused at start, naming what is wrong.
TEST_F(CameraNode, BadNamesAndSourcesAreRefusedAtStart) {
    const std::string mqtt = "127.0.0.1:" + std::to_string(broker.port()) + "/lab";
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> said;
    } cases[] = {
        {{"--mqtt", mqtt, "--node", "a/b"}, 2, {"--node", "a/b"}},
        {{"--mqtt", mqtt, "--node", "a+b"}, 2, {"--node"}},
        {{"--mqtt", mqtt, "--node", "#"}, 2, {"--node"}},
        {{"--mqtt", mqtt, "--node", "a b"}, 2, {"--node"}},
        {{"--mqtt", mqtt, "--node", std::string(kNodeNameMax + 1, 'n')}, 2, {"--node"}},
        {{"--node", "left"}, 2, {"--node", "--mqtt"}},
        {{"--mqtt", "127.0.0.1/lab/+", "--node", "left"}, 2, {"--mqtt"}},
        {{"--camera", "synthetic:pose=1,2,3"}, 1, {"synthetic:pose=1,2,3", "six numbers"}},
        {{"--camera", "synthetic:pose=1,2,3,4,5,nan"}, 1, {"six numbers"}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;zoom=2"}, 1, {"unknown option zoom="}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;pose=0,0,9,0,0,0"}, 1, {"pose= is given twice"}},
        {{"--camera", "synthetic:hide=Wand"}, 1, {"needs pose="}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;rate=7"}, 1, {"rate= needs", "\"7\""}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;rate=0"}, 1, {"rate= needs"}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;rate=10x"}, 1, {"rate= needs"}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;world=Desk"}, 1, {"world=Desk"}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;hide=Wand+Cup"}, 1, {"hide=Cup"}},
        {{"--camera", "synthetic:pose=0,0,900,180,0,0;hide=Wand+"}, 1, {"hide="}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-C", dir.path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Headless run(args);
        EXPECT_EQ(run.exitStatus(), c.status) << c.args.back();
        for (const std::string& part : c.said) EXPECT_TRUE(contains(run.errors(), part)) << run.errors();
    }
    // The key is refused alone, as every other key is.
    writeFile(dir.file("Data/config.txt"), "[NodeName] a/b\n[Port] 7\n");
    Headless listed({"-C", dir.path(), "--camera", "list"});
    EXPECT_EQ(listed.exitStatus(), 0);
    EXPECT_TRUE(contains(listed.output(), "[NodeName] a/b is refused")) << listed.output();
    writeFile(dir.file("Data/config.txt"), "[NodeName] left\n");
    Headless keyed({"-C", dir.path(), "--camera", "synthetic"});
    EXPECT_EQ(keyed.exitStatus(), 2);
    EXPECT_TRUE(contains(keyed.errors(), "[NodeName] needs --mqtt")) << keyed.errors();
}

}  // namespace
