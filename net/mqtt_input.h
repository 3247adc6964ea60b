#pragma once
// The fusion's side of the broker: a subscriber to every camera node under
// a prefix, PREFIX/nodes/+/frame and PREFIX/nodes/+/camera, that hands what
// arrives to one consuming thread. libmosquitto's thread only files each
// message in a bounded queue and never waits for the consumer: when the
// queue is full the oldest message goes (counted), so a stalled fusion
// catches up on fresh frames rather than old ones. A message over
// kNodeMessageMaxBytes is dropped unread (counted, and handed on as an
// empty Oversized message, so the consumer can tell its node). The
// connection is kept as the outputs keep theirs (MqttClient).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include "mqtt_client.h"

struct NodeMessage {
    enum class Kind {
        Frame,       // PREFIX/nodes/NAME/frame
        Camera,      // PREFIX/nodes/NAME/camera; an empty payload: the node has gone
        Oversized,   // either, over the byte cap: payload dropped unread
    };
    Kind kind = Kind::Frame;
    std::string node;     // the topic's NAME level, as it came (cut to a bounded length)
    std::string payload;
    std::size_t bytes = 0;  // the payload's size as received
};

class MqttInput {
public:
    using Notice = MqttClient::Notice;

    // `target` has been checked (parseMqttTarget); its prefix is the one
    // the nodes publish under. Connecting starts at once and never waits.
    MqttInput(const OutputTarget& target, std::size_t queueMessages, Notice notice);
    ~MqttInput();

    // The next message, waiting at most `timeoutMs`; none when the time
    // passed first or stop() was called. Call from one thread: it also
    // makes the connection attempts while the broker has not been reached.
    std::optional<NodeMessage> next(int timeoutMs);
    // Wakes next() for good.
    void stop();

    bool connected() const { return client_.connected(); }
    uint64_t received() const;   // messages filed, oversized ones included
    uint64_t dropped() const;    // pushed out of a full queue
    uint64_t oversized() const;
    uint64_t foreign() const;    // on a subscribed topic that is not a node's frame or camera

private:
    void subscribe();
    void arrived(const char* topic, const void* payload, int bytes);

    const std::string nodesTopic_;  // "PREFIX/nodes/"
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<NodeMessage> queue_;
    uint64_t received_ = 0, dropped_ = 0, oversized_ = 0, foreign_ = 0;
    bool stopping_ = false;
    MqttClient client_;  // last: its thread calls into the members above
};
