// quillmark fuse end to end: a real broker on loopback, two real camera
// nodes filming one synthetic scene from two sides, and the real fusion
// node; bad messages from another project's publisher (mosquitto_pub).
#include <gtest/gtest.h>
#include <signal.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include "command_run.h"
#include "headless_run.h"
#include "node_scene.h"
#include "output_receivers.h"
#include "server_state.h"
#include "synthetic_scene.h"
#include "temp_dir.h"
#include "test_client.h"
#include "wait.h"

using nlohmann::json;

namespace {

const std::string kPrefix = "fz";

std::string brokerTarget(int port) { return "127.0.0.1:" + std::to_string(port) + "/" + kPrefix; }

// The body of an HTTP GET on loopback, "" when there is none.
std::string httpGet(int port, const std::string& path) {
    TestClient client(port);
    client.sendText("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nConnection: close\r\n\r\n");
    std::string reply;
    client.readToEnd(reply);
    const auto body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

// The fusion's nodes as its page lists them, by name.
std::map<std::string, json> pageNodes(int httpPort) {
    std::map<std::string, json> nodes;
    const json status = json::parse(httpGet(httpPort, "/api/status"), nullptr, false);
    if (status.is_object() && status.contains("nodes"))
        for (const json& node : status["nodes"]) nodes[node.value("name", "")] = node;
    return nodes;
}

uint64_t fusedOf(int httpPort, const std::string& node) {
    const auto nodes = pageNodes(httpPort);
    const auto found = nodes.find(node);
    return found == nodes.end() ? 0 : found->second.value("fused", uint64_t{0});
}

void publish(int port, const std::string& node, const std::string& kind, const std::string& options) {
    const std::string command = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + " -t '" + kPrefix +
                                "/nodes/" + node + "/" + kind + "' " + options;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::size_t occurrences(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

class Fuse : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        std::string error;
        ASSERT_TRUE(makeNodeSceneData(dir, error)) << error;
        fusion = std::make_unique<Headless>(
            std::vector<std::string>{"-C", dir.path(), "--mqtt", brokerTarget(broker.port()), "--port", "0", "--mode",
                                     "command", "--http", "0"},
            "fuse");
        tcpPort = fusion->listeningPort();
        ASSERT_GT(tcpPort, 0) << fusion->output() << fusion->errorsSoFar();
        const std::string& out = fusion->output();
        const auto page = out.find("Page on http://127.0.0.1:");
        ASSERT_NE(page, std::string::npos) << out;
        httpPort = std::stoi(out.substr(page + 25));
    }

    std::unique_ptr<Headless> node(const std::string& name, const std::string& source) {
        return std::make_unique<Headless>(std::vector<std::string>{
            "-C", dir.path(), "--camera", source, "--world", "Floor", "--camera-fixed", "--mqtt",
            brokerTarget(broker.port()), "--node", name, "--port", "0"});
    }

    Broker broker{freeLoopbackPort()};
    TempDir dir;
    std::unique_ptr<Headless> fusion;
    int tcpPort = -1, httpPort = -1;
};

// The scene's truth in the world, as the nodes film it.
struct Truth {
    explicit Truth(const TempDir& dir, const std::string& source) {
        const std::string before = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        scene = std::make_unique<SyntheticScene>(SyntheticScene::fromDataDirectory());
        std::filesystem::current_path(before);
        SyntheticView view;
        std::string error;
        std::vector<std::string> names;
        for (size_t m = 0; m < scene->markerCount(); ++m) names.push_back("");
        ok = parseSyntheticSource(source, view, error) && scene->filmFrom(view, names, error);
        for (size_t b = 0; b < scene->bodies().size(); ++b)
            if (scene->bodies()[b].name == "Wand") wand = b;
    }
    double wandErrorMm(const json& body, double time) const {
        const RigidPose truth = scene->bodyWorldPoseAt(wand, syntheticFrameAt(time));
        const json& p = body["world"]["position"];
        return std::hypot(p[0].get<double>() - truth.t[0], p[1].get<double>() - truth.t[1],
                          p[2].get<double>() - truth.t[2]);
    }
    std::unique_ptr<SyntheticScene> scene;
    size_t wand = 0;
    bool ok = false;
};

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

bool hasWand(const json& markersOrBodies, const char* key) {
    return std::any_of(markersOrBodies.begin(), markersOrBodies.end(), [&](const json& item) {
        return item.value(key, std::string()).rfind("Wand", 0) == 0;
    });
}

} // namespace

// Two nodes 75 degrees apart; the second does not see the wand. The wand is
// fused from the first in every frame the first saw it, where the scene has
// it; a node killed is named lost and the fusion goes on from the other,
// and the node restarted is fused again.
TEST_F(Fuse, TwoNodesMakeOneWorldThatOutlivesANode) {
    const std::string sourceA = nodeSceneSource(0), sourceB = nodeSceneSource(75, 45, 700, "hide=Wand");
    MqttSubscriber world(broker.port(), kPrefix + "/world/frame");
    MqttSubscriber seenByA(broker.port(), kPrefix + "/nodes/A/frame");
    MqttSubscriber wandOfA(broker.port(), kPrefix + "/nodes/A/bodies/Wand");
    ASSERT_TRUE(world.connected() && seenByA.connected() && wandOfA.connected());
    auto a = node("A", sourceA);
    auto b = node("B", sourceB);
    ASSERT_TRUE(waitFor([&] { return fusedOf(httpPort, "A") > 0 && fusedOf(httpPort, "B") > 0; }))
        << fusion->errorsSoFar() << a->errorsSoFar() << b->errorsSoFar();
    const std::size_t from = world.count();
    const uint64_t lateBefore = pageNodes(httpPort)["A"].value("late", uint64_t{0});
    // The wand's frames as A saw them, by capture time. The scene goes
    // round with the wall clock, and for a part of its turn A sees no wand.
    std::map<long, bool> wandInA;
    const std::size_t seenFrom = seenByA.count();
    const auto wandFramesOfA = [&] {
        wandInA.clear();
        int seen = 0;
        const auto frames = seenByA.messages();
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const json frame = json::parse(frames[k].payload, nullptr, false);
            if (!frame.is_object()) continue;
            const bool wand = hasWand(frame["markers"], "name");
            wandInA[syntheticFrameAt(frame["time"].get<double>())] = wand;
            seen += wand && k >= seenFrom;
        }
        return seen;
    };
    ASSERT_TRUE(world.waitFor(from + 45));
    ASSERT_TRUE(waitFor([&] { return wandFramesOfA() >= 40; }, std::chrono::seconds(30)))
        << "A saw the wand in " << wandFramesOfA() << " frames";
    wandFramesOfA();
    const Truth truth(dir, sourceA);
    ASSERT_TRUE(truth.ok);
    // A's own world pose of the wand, by capture time: all the fusion has of it.
    std::map<long, double> errorOfA;
    for (const MqttMessage& m : wandOfA.messages()) {
        const json body = json::parse(m.payload, nullptr, false);
        if (body.is_object() && body.contains("world"))
            errorOfA[syntheticFrameAt(body["time"].get<double>())] = truth.wandErrorMm(body, body["time"].get<double>());
    }
    std::vector<double> errors, alone;
    int compared = 0, missed = 0;
    const auto fused = world.messages();
    for (std::size_t k = from; k < fused.size(); ++k) {
        const json frame = json::parse(fused[k].payload);
        const auto seen = wandInA.find(syntheticFrameAt(frame["time"].get<double>()));
        if (seen == wandInA.end() || !seen->second) continue;
        ++compared;
        const auto wand = std::find_if(frame["bodies"].begin(), frame["bodies"].end(),
                                       [](const json& body) { return body["name"] == "Wand"; });
        if (wand == frame["bodies"].end()) ++missed;
        const auto own = errorOfA.find(syntheticFrameAt(frame["time"].get<double>()));
        if (wand != frame["bodies"].end() && own != errorOfA.end()) {
            errors.push_back(truth.wandErrorMm(*wand, frame["time"].get<double>()));
            alone.push_back(own->second);
        }
    }
    ASSERT_GE(compared, 20);
    // Only a frame of A's that came too late (fused from B alone) may lack it.
    EXPECT_LE(missed, static_cast<int>(pageNodes(httpPort)["A"].value("late", uint64_t{0}) - lateBefore))
        << missed << " of " << compared << " fused frames lack the wand A saw";
    // Only A sees the wand: the fused pose is as good as A's own world pose
    // of it (whose error is mostly that of A's own place in the world), and
    // a wrong instant, frame or transform would be far off.
    ASSERT_GE(errors.size(), 10u);
    EXPECT_LT(median(errors), median(alone) * 1.1 + 1.0) << "median wand error, mm, against A's own";
    EXPECT_LT(median(errors), 50.0) << "median wand error, mm";

    // Kill -9: the broker gives the node's will, the fusion names it lost and
    // carries on from A.
    b->signal(SIGKILL);
    ASSERT_TRUE(fusion->waitForErrors("lost", 5000)) << fusion->errorsSoFar();
    const std::size_t afterLoss = world.count();
    EXPECT_TRUE(world.waitFor(afterLoss + 15)) << "no fused frames from A alone";
    EXPECT_TRUE(pageNodes(httpPort)["B"].value("lost", false));

    const uint64_t fusedBefore = fusedOf(httpPort, "B");
    b = node("B", sourceB);
    EXPECT_TRUE(waitFor([&] { return fusedOf(httpPort, "B") > fusedBefore + 10; }))
        << fusion->errorsSoFar() << b->errorsSoFar();
    EXPECT_FALSE(pageNodes(httpPort)["B"].value("lost", true));
}

// Each bad input from a node is told once, nothing of it is fused, and the
// fusion goes on answering its clients.
TEST_F(Fuse, BadNodeMessagesAreToldOnceAndNothingOfThemIsFused) {
    const std::string camera =
        R"('{"node":"NODE","width":640,"height":480,"projection":[[800,0,320,0],[0,800,240,0],[0,0,1,0]]}')";
    const std::string frame =
        R"('{"node":"NODE","frame":1,"time":TIME,"width":640,"height":480,)"
        R"("camera":{"position":[0,0,900],"quaternion":[0,1,0,0]},)"
        R"("markers":[{"name":"NAME","id":0,"cf":1,"corners":[[300,220],[340,220],[340,260],[300,260]]}]}')";
    auto with = [](std::string text, const std::map<std::string, std::string>& values) {
        for (const auto& [from, to] : values)
            for (auto at = text.find(from); at != std::string::npos; at = text.find(from)) text.replace(at, from.size(), to);
        return text;
    };
    const struct {
        const char* node;
        std::string camera, frame;  // mosquitto_pub's message options; "" sends none
        const char* told;          // a word of the message told
        bool framesUsable;         // its frames may be fused, with nothing in them
        double clockOffS = 0;      // its capture times against the wall clock
    } cases[] = {
        {"cut", "", "-m '{\"node\":\"cut\",\"fra'", "not JSON", false},
        {"strangers", with(camera, {{"NODE", "strangers"}}), with(frame, {{"NODE", "strangers"}, {"NAME", "Nope"}}),
         "Nope", true},
        {"letters", "", with(frame, {{"NODE", "letters"}, {"NAME", "Flag"}, {"[300,220]", "[\"300\",220]"}}),
         "corners", false},
        {"blind", with(camera, {{"NODE", "blind"}}),
         with(frame, {{"NODE", "blind"}, {"NAME", "Flag"}, {R"({"position":[0,0,900],"quaternion":[0,1,0,0]})", "null"}}),
         "world pose", false},
        {"odd name", "", "-m '{}'", "odd name", false},
        {"fast", with(camera, {{"NODE", "fast"}}), with(frame, {{"NODE", "fast"}, {"NAME", "Flag"}}), "clock is ahead",
         false, 30},
        {"slow", with(camera, {{"NODE", "slow"}}), with(frame, {{"NODE", "slow"}, {"NAME", "Flag"}}), "stale", false, -30},
    };
    for (const auto& c : cases) {
        if (!c.camera.empty()) publish(broker.port(), c.node, "camera", "-r -m " + c.camera);
        for (int twice = 0; twice < 2; ++twice) {
            const std::string message = with(c.frame, {{"TIME", std::to_string(wallClockSeconds() + c.clockOffS)}});
            publish(broker.port(), c.node, "frame", message.rfind("-m", 0) == 0 ? message : "-m " + message);
        }
    }
    for (const auto& c : cases) {
        EXPECT_TRUE(fusion->waitForErrors(c.told, 5000)) << c.node << ": " << fusion->errorsSoFar();
    }
    // What came after the last message would be told by now as well.
    TestClient client(tcpPort);
    std::vector<std::string> lines;
    client.sendText("all\n");
    ASSERT_TRUE(client.readReport(lines)) << "the fusion does not answer";
    EXPECT_TRUE(lines.empty()) << lines[0];
    const std::string told = fusion->errorsSoFar();
    const auto nodes = pageNodes(httpPort);
    for (const auto& c : cases) {
        EXPECT_EQ(occurrences(told, c.told), 1u) << c.node << ": " << told;
        const auto found = nodes.find(c.node);
        if (found != nodes.end() && !c.framesUsable) {
            EXPECT_EQ(found->second.value("fused", uint64_t{1}), 0u) << c.node;
        }
    }
}

// A prefix a broker would misread is refused before anything starts.
TEST(FuseCommandLine, PrefixesABrokerWouldMisreadAreRefused) {
    TempDir dir;
    const struct {
        std::string args, told;
    } cases[] = {
        {"--mqtt '127.0.0.1/a+b'", "--mqtt"},
        {"--mqtt '127.0.0.1/site/#'", "--mqtt"},
        {"--mqtt '127.0.0.1/a b'", "--mqtt"},
        {"", "--mqtt"},
        {"--mqtt 127.0.0.1 --window 0", "--window"},
    };
    for (const auto& c : cases) {
        const CommandRun run = runQuillmark(quillmarkExe(), "fuse " + c.args, dir);
        EXPECT_EQ(run.status, 2) << c.args << ": " << run.out << run.err;
        EXPECT_NE(run.err.find(c.told), std::string::npos) << c.args << ": " << run.err;
    }
}
