#pragma once
// MQTT output through libmosquitto: every processed frame is published to a
// broker, which fans it out to consumers on any number of machines.
//   PREFIX/report        the report text an Automatic-Mode client with the
//                        configured fields receives for that frame
//   PREFIX/bodies/NAME   with a bodies file, one JSON object per body with a
//                        pose, and an empty message once it has none
//   PREFIX/markers/NAME  one JSON object per marker in view, and an empty
//                        message once no marker of that name is in view
// QoS 0, not retained. A camera node (a node name given) publishes these
// under PREFIX/nodes/NAME/ instead, and beside them what a fusion node
// reads (node_messages.h): PREFIX/nodes/NAME/frame for every frame, and
// PREFIX/nodes/NAME/camera, retained, on every connection; its last will,
// and its clean shutdown, empty that camera message. Publishing never waits: frames go through a short
// queue to a sender thread, and libmosquitto's own network thread writes to
// the socket. While the broker is slow or gone, frames are dropped (oldest
// first), libmosquitto reconnects with back-off, and the operator hears of
// the loss once and of the return once.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "frame_queue.h"
#include "json.h"
#include "mqtt_client.h"
#include "output_target.h"
#include "report.h"
#include "tracking_worker.h"

// PREFIX/markers/NAME, with the characters that would change the topic's
// meaning in NAME (+, #, /) replaced by '_' and NAME utf8Escaped.
std::string markerTopic(const std::string& prefix, const std::string& name);
// PREFIX/bodies/NAME, the same way: where bodyJson goes.
std::string bodyTopic(const std::string& prefix, const std::string& name);

class MqttOutput : public FrameOutput {
public:
    // Told about the broker's loss and return; called on libmosquitto's thread.
    using Notice = std::function<void(const std::string&)>;

    // `target` has been checked (parseMqttTarget); `format` selects the
    // fields of PREFIX/report. Connecting starts at once and never waits: a
    // broker that is not there yet gives one notice, and publishing starts
    // when it comes.
    // `node`, when not empty, is the camera node's name (validTopicName).
    MqttOutput(const OutputTarget& target, DataFormat format, Notice notice, std::string node = "");
    ~MqttOutput() override;

    void publishFrame(const PublishedFrame& frame) override;

    bool connected() const { return client_.connected(); }
    uint64_t framesPublished() const { return framesPublished_; }
    // Frames not published: queue overrun, broker gone or too far behind.
    uint64_t framesDropped() const { return framesSkipped_ + queue_->dropped(); }

private:
    // The will lives while the client is made, which copies it.
    MqttOutput(const OutputTarget& target, DataFormat format, Notice notice, std::string node, MqttClient::Will will);
    void publish(const PublishedFrame& frame);
    // Empty messages on the topics of names in `before` and not in `now`.
    void publishGone(const std::vector<std::string>& before, const std::vector<std::string>& now);
    bool publishMessage(const std::string& topic, const std::string& payload, bool retained = false);
    void publishNodeCamera(const PublishedFrame& frame);

    const OutputTarget target_;
    const DataFormat format_;
    const std::string node_;       // empty: not a camera node
    const std::string topicRoot_;  // PREFIX, or PREFIX/nodes/NAME for a node
    // Set by each connection: the node's camera message is published again
    // with the next frame, which carries the intrinsics in use.
    std::atomic<bool> cameraDue_{false};
    // Messages handed to libmosquitto and not yet written to the socket.
    std::atomic<int> unwritten_{0};
    std::atomic<uint64_t> framesPublished_{0};
    std::atomic<uint64_t> framesSkipped_{0};
    MqttClient client_;  // after the counters its hooks touch
    // Marker topics of the last frame published, sorted; the sender
    // thread's, then the destructor's.
    std::vector<std::string> inView_;
    std::unique_ptr<FrameQueue> queue_;  // last, so its thread ends first
};
