#include "mqtt_output.h"
#include <algorithm>
#include <iterator>
#include <mosquitto.h>

namespace {

constexpr std::size_t kQueueFrames = 4;
// libmosquitto queues QoS 0 messages without limit while the socket is
// slow; past this many unwritten messages whole frames are dropped instead.
constexpr int kMaxUnwritten = 512;

// A name as one topic level.
std::string topicLevel(const std::string& name) {
    std::string level = name.empty() ? "_" : utf8Escaped(name);
    for (char& c : level) {
        if (c == '+' || c == '#' || c == '/') c = '_';
    }
    return level;
}

} // namespace

std::string markerTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/markers/" + topicLevel(name);
}

std::string bodyTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/bodies/" + topicLevel(name);
}

MqttOutput::MqttOutput(const OutputTarget& target, DataFormat format, Notice notice)
    : target_(target), format_(format),
      client_(target,
              {"tracking goes on, publishing starts when it is there.", "is lost; frames are dropped until it is back.",
               "is back; publishing again."},
              std::move(notice),
              {[this] { unwritten_ = 0; }, [this] { unwritten_ = 0; }, {}, [this](int) { --unwritten_; }}) {
    queue_ = std::make_unique<FrameQueue>(kQueueFrames, [this](const PublishedFrame& frame) { publish(frame); });
}

MqttOutput::~MqttOutput() {
    queue_->stop();
    // Tracking stops: every marker still in view leaves. The messages go
    // out before the disconnect, which libmosquitto queues after them.
    if (client_.connected()) publishGone(inView_, {});
    client_.close();
}

void MqttOutput::publishFrame(const PublishedFrame& frame) { queue_->push(frame); }

void MqttOutput::publish(const PublishedFrame& frame) {
    client_.keepTrying();
    if (!client_.connected() || unwritten_ > kMaxUnwritten) {
        ++framesSkipped_;
        return;
    }
    if (!publishMessage(target_.prefix + "/report", allReportText(frame.results, format_))) {
        ++framesSkipped_;
        return;
    }
    std::vector<std::string> now;
    for (const MarkerResult& result : frame.results) {
        now.push_back(markerTopic(target_.prefix, result.name));
        publishMessage(now.back(), markerJson(result, frame.stamp));
    }
    for (const BodyPose& body : frame.bodies) {
        now.push_back(bodyTopic(target_.prefix, body.name));
        publishMessage(now.back(), bodyJson(body, frame.stamp));
    }
    std::sort(now.begin(), now.end());
    now.erase(std::unique(now.begin(), now.end()), now.end());
    publishGone(inView_, now);
    inView_ = std::move(now);
    ++framesPublished_;
}

void MqttOutput::publishGone(const std::vector<std::string>& before, const std::vector<std::string>& now) {
    std::vector<std::string> gone;
    std::set_difference(before.begin(), before.end(), now.begin(), now.end(), std::back_inserter(gone));
    for (const std::string& topic : gone) publishMessage(topic, "");
}

bool MqttOutput::publishMessage(const std::string& topic, const std::string& payload) {
    ++unwritten_;
    if (mosquitto_publish(client_.handle(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                          false) == MOSQ_ERR_SUCCESS)
        return true;
    --unwritten_;
    return false;
}
