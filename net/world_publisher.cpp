#include "world_publisher.h"
#include <algorithm>
#include <iterator>
#include <mosquitto.h>
#include "mqtt_output.h"

namespace {

// As MqttOutput: past this many messages libmosquitto has not written yet,
// whole frames are dropped instead of queued without limit.
constexpr int kMaxUnwritten = 512;

} // namespace

WorldPublisher::WorldPublisher(const OutputTarget& target, MqttClient::Notice notice)
    : root_(target.prefix + "/world"),
      client_(target,
              {"the fusion goes on, publishing starts when it is there.",
               "is lost; fused frames are dropped until it is back.", "is back; publishing again."},
              std::move(notice),
              {[this] { unwritten_ = 0; }, [this] { unwritten_ = 0; }, {}, [this](int) { --unwritten_; }}) {}

WorldPublisher::~WorldPublisher() {
    if (client_.connected()) publishGone({});
    client_.close();
}

void WorldPublisher::publish(const JsonFrame& frame) {
    client_.keepTrying();
    if (!client_.connected() || unwritten_ > kMaxUnwritten || !publishMessage(root_ + "/frame", frameJson(frame))) {
        ++dropped_;
        return;
    }
    std::vector<std::string> now;
    if (frame.bodies) {
        for (const BodyPose& body : *frame.bodies) {
            now.push_back(bodyTopic(root_, body.name));
            publishMessage(now.back(), bodyJson(body, frame.stamp));
        }
    }
    std::sort(now.begin(), now.end());
    now.erase(std::unique(now.begin(), now.end()), now.end());
    publishGone(now);
    bodyTopics_ = std::move(now);
    ++published_;
}

void WorldPublisher::publishGone(const std::vector<std::string>& now) {
    std::vector<std::string> gone;
    std::set_difference(bodyTopics_.begin(), bodyTopics_.end(), now.begin(), now.end(), std::back_inserter(gone));
    for (const std::string& topic : gone) publishMessage(topic, "");
}

bool WorldPublisher::publishMessage(const std::string& topic, const std::string& payload) {
    ++unwritten_;
    if (mosquitto_publish(client_.handle(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                          0, false) == MOSQ_ERR_SUCCESS)
        return true;
    --unwritten_;
    return false;
}
