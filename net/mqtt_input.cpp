#include "mqtt_input.h"
#include <chrono>
#include <cstring>
#include <mosquitto.h>
#include "node_messages.h"

namespace {

// A topic's node level may be anything a broker carries (up to 64 kB); the
// consumer only needs enough of it to name the node in a refusal.
constexpr std::size_t kNodeLevelKept = kNodeNameMax + 16;

} // namespace

MqttInput::MqttInput(const OutputTarget& target, std::size_t queueMessages, Notice notice)
    : nodesTopic_(target.prefix + "/nodes/"),
      capacity_(queueMessages ? queueMessages : 1),
      client_(target,
              {"the fusion waits for it.", "is lost; nothing is fused until it is back.",
               "is back; fusing again."},
              std::move(notice),
              {[this] { subscribe(); },
               {},
               [this](const mosquitto_message& m) { arrived(m.topic, m.payload, m.payloadlen); },
               {}}) {}

MqttInput::~MqttInput() {
    stop();
    client_.close();
}

// On every connection: a clean session forgets subscriptions. The retained
// camera messages of the nodes already running arrive at once.
void MqttInput::subscribe() {
    for (const char* kind : {"frame", "camera"}) {
        const std::string topic = nodesTopic_ + "+/" + kind;
        mosquitto_subscribe(client_.handle(), nullptr, topic.c_str(), 0);
    }
}

void MqttInput::arrived(const char* topic, const void* payload, int bytes) {
    NodeMessage message;
    const std::size_t topicLength = topic ? std::strlen(topic) : 0;
    const std::size_t from = nodesTopic_.size();
    const char* slash = topicLength > from && std::strncmp(topic, nodesTopic_.data(), from) == 0
                            ? std::strchr(topic + from, '/')
                            : nullptr;
    const bool isFrame = slash && std::strcmp(slash + 1, "frame") == 0;
    const bool isCamera = slash && std::strcmp(slash + 1, "camera") == 0;
    if (!isFrame && !isCamera) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++foreign_;
        return;
    }
    message.node.assign(topic + from, std::min<std::size_t>(slash - (topic + from), kNodeLevelKept));
    message.bytes = bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
    if (message.bytes > kNodeMessageMaxBytes) {
        message.kind = NodeMessage::Kind::Oversized;
    } else {
        message.kind = isFrame ? NodeMessage::Kind::Frame : NodeMessage::Kind::Camera;
        message.payload.assign(static_cast<const char*>(payload), message.bytes);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        ++received_;
        if (message.kind == NodeMessage::Kind::Oversized) ++oversized_;
        if (queue_.size() >= capacity_) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(std::move(message));
    }
    ready_.notify_one();
}

std::optional<NodeMessage> MqttInput::next(int timeoutMs) {
    client_.keepTrying();
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return stopping_ || !queue_.empty(); });
    if (stopping_ || queue_.empty()) return std::nullopt;
    NodeMessage message = std::move(queue_.front());
    queue_.pop_front();
    return message;
}

void MqttInput::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    ready_.notify_all();
}

uint64_t MqttInput::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

uint64_t MqttInput::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

uint64_t MqttInput::oversized() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return oversized_;
}

uint64_t MqttInput::foreign() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return foreign_;
}
