// The fusion's subscriber against a real broker, fed by another project's
// publisher (mosquitto_pub): what it hands on, what it drops, and that it
// takes up again after the broker restarts.
#include <gtest/gtest.h>
#include <cstdlib>
#include <mutex>
#include "mqtt_input.h"
#include "node_messages.h"
#include "output_receivers.h"
#include "temp_dir.h"
#include "wait.h"

namespace {

void publish(int port, const std::string& topic, const std::string& options) {
    const std::string command = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + " -t '" + topic + "' " +
                                options;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

OutputTarget target(int port) { return OutputTarget{"127.0.0.1", port, "site/a"}; }

std::vector<NodeMessage> drain(MqttInput& input, std::size_t count) {
    std::vector<NodeMessage> got;
    for (int i = 0; i < 300 && got.size() < count; ++i) {
        if (auto message = input.next(50)) got.push_back(std::move(*message));
    }
    return got;
}

} // namespace

TEST(MqttInput, HandsOnNodesMessagesAndDropsWhatItMust) {
    Broker broker(freeLoopbackPort());
    ASSERT_TRUE(broker.start());
    std::mutex mutex;
    std::vector<std::string> told;
    MqttInput input(target(broker.port()), 4, [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        told.push_back(text);
    });
    // A retained message reaches a subscription whenever it is made.
    publish(broker.port(), "site/a/nodes/probe/camera", "-r -m probe");
    ASSERT_EQ(drain(input, 1).at(0).payload, "probe");
    TempDir dir;
    writeFile(dir.file("big"), std::string(kNodeMessageMaxBytes + 1, 'x'));
    publish(broker.port(), "site/a/nodes/left/frame", "-m '{\"a\":1}'");
    publish(broker.port(), "site/a/nodes/right/camera", "-n");
    publish(broker.port(), "site/a/nodes/left/frame", "-f " + dir.file("big"));
    publish(broker.port(), "site/a/nodes/left/other", "-m x");       // subscribed to neither
    publish(broker.port(), "site/b/nodes/left/frame", "-m x");       // another site
    publish(broker.port(), "site/a/nodes/le ft/frame", "-m spaced"); // handed on; the fusion refuses the name
    const auto got = drain(input, 4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got[0].kind == NodeMessage::Kind::Frame && got[0].node == "left" && got[0].payload == "{\"a\":1}");
    EXPECT_TRUE(got[1].kind == NodeMessage::Kind::Camera && got[1].node == "right" && got[1].payload.empty());
    EXPECT_TRUE(got[2].kind == NodeMessage::Kind::Oversized && got[2].payload.empty() &&
                got[2].bytes == kNodeMessageMaxBytes + 1);
    EXPECT_TRUE(got[3].node == "le ft" && got[3].payload == "spaced");
    EXPECT_EQ(input.oversized(), 1u);

    // A consumer that falls behind gets the newest messages, the rest counted.
    const uint64_t before = input.received();
    for (int k = 1; k <= 7; ++k) publish(broker.port(), "site/a/nodes/left/frame", "-m " + std::to_string(k));
    ASSERT_TRUE(waitFor([&] { return input.received() == before + 7; }));
    const auto kept = drain(input, 4);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0].payload, "4");
    EXPECT_EQ(kept[3].payload, "7");
    EXPECT_EQ(input.dropped(), 3u);

    // The subscription is renewed when the broker comes back.
    broker.stop();
    ASSERT_TRUE(waitFor([&] { return !input.connected(); }));
    ASSERT_TRUE(broker.start());
    publish(broker.port(), "site/a/nodes/left/camera", "-r -m again");
    const auto again = drain(input, 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].payload, "again");
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_NE(told[0].find("is lost"), std::string::npos) << told[0];
    EXPECT_NE(told[1].find("is back"), std::string::npos) << told[1];
}
