#pragma once
// The fusion node's MQTT output, per fused frame:
//   PREFIX/world/frame        the frame's JSON (frameJson of json.h): the
//                             markers and bodies with their poses in the world
//   PREFIX/world/bodies/NAME  bodyJson of each body with a pose, and an
//                             empty message once it has none
// QoS 0, not retained. Publishing never waits: libmosquitto's thread
// writes, and while the broker is gone or too far behind whole frames are
// dropped and counted. The connection is kept as every output keeps its
// own (MqttClient).
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>
#include "json.h"
#include "mqtt_client.h"

class WorldPublisher {
public:
    WorldPublisher(const OutputTarget& target, MqttClient::Notice notice);
    // Every body still published leaves with an empty message.
    ~WorldPublisher();

    // Call from one thread; `frame.bodies` are the bodies published.
    void publish(const JsonFrame& frame);

    bool connected() const { return client_.connected(); }
    uint64_t framesPublished() const { return published_; }
    uint64_t framesDropped() const { return dropped_; }

private:
    bool publishMessage(const std::string& topic, const std::string& payload);
    void publishGone(const std::vector<std::string>& now);

    const std::string root_;  // PREFIX/world
    std::atomic<int> unwritten_{0};
    std::atomic<uint64_t> published_{0}, dropped_{0};
    std::vector<std::string> bodyTopics_;  // of the last frame published, sorted
    MqttClient client_;  // last: its thread touches the counters
};
