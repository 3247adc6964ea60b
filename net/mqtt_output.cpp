#include "mqtt_output.h"
#include <algorithm>
#include <iterator>
#include <mosquitto.h>
#include "node_messages.h"

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

// Retained messages are what a subscriber that comes later still gets: they
// must reach the broker, once.
constexpr int kRetainedQos = 1;

NodeFrame nodeFrameOf(const std::string& node, const PublishedFrame& frame) {
    NodeFrame out;
    out.node = node;
    out.frame = frame.stamp.frame;
    out.time = frame.stamp.captureTime;
    out.width = frame.width;
    out.height = frame.height;
    if (frame.worldFrame && frame.camera.known) {
        NodeWorldPose pose;
        for (int r = 0; r < 3; ++r) pose.position[r] = frame.camera.pose.t[r];
        for (int i = 0; i < 4; ++i) pose.quaternion[i] = frame.camera.quaternion[i];
        out.camera = pose;
    }
    // A result's vertices are ideal pixels already (the detector fits its
    // edges with the distortion taken out), which is what the fusion takes.
    for (const MarkerResult& result : frame.results) {
        NodeMarker marker{result.name, result.patternId, result.cf, {}};
        for (int k = 0; k < 4; ++k) {
            marker.corner[k][0] = result.vertex[k][0];
            marker.corner[k][1] = result.vertex[k][1];
        }
        out.markers.push_back(std::move(marker));
    }
    return out;
}

// A node that dies without a word (killed, its machine gone) still tells
// the fusion so: the broker publishes this when the link breaks.
const MqttClient::Will* nodeWill(const std::string& node, const std::string& topicRoot, MqttClient::Will& will) {
    if (node.empty()) return nullptr;
    will = {topicRoot + "/camera", "", true};
    return &will;
}

} // namespace

std::string markerTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/markers/" + topicLevel(name);
}

std::string bodyTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/bodies/" + topicLevel(name);
}

MqttOutput::MqttOutput(const OutputTarget& target, DataFormat format, Notice notice, std::string node)
    : MqttOutput(target, format, std::move(notice), std::move(node), MqttClient::Will{}) {}

MqttOutput::MqttOutput(const OutputTarget& target, DataFormat format, Notice notice, std::string node,
                       MqttClient::Will will)
    : target_(target), format_(format), node_(std::move(node)),
      topicRoot_(node_.empty() ? target.prefix : target.prefix + "/nodes/" + node_),
      client_(target,
              {"tracking goes on, publishing starts when it is there.", "is lost; frames are dropped until it is back.",
               "is back; publishing again."},
              std::move(notice),
              {[this] {
                   unwritten_ = 0;
                   cameraDue_ = true;
               },
               [this] { unwritten_ = 0; }, {}, [this](int) { --unwritten_; }},
              nodeWill(node_, topicRoot_, will)) {
    queue_ = std::make_unique<FrameQueue>(kQueueFrames, [this](const PublishedFrame& frame) { publish(frame); });
}

MqttOutput::~MqttOutput() {
    queue_->stop();
    // Tracking stops: every marker still in view leaves. The messages go
    // out before the disconnect, which libmosquitto queues after them.
    if (client_.connected()) {
        publishGone(inView_, {});
        // A clean stop says what the last will says; the disconnect makes
        // the broker drop the will itself.
        if (!node_.empty()) publishMessage(topicRoot_ + "/camera", "", true);
    }
    client_.close();
}

void MqttOutput::publishFrame(const PublishedFrame& frame) { queue_->push(frame); }

void MqttOutput::publish(const PublishedFrame& frame) {
    client_.keepTrying();
    if (!client_.connected() || unwritten_ > kMaxUnwritten) {
        ++framesSkipped_;
        return;
    }
    if (!node_.empty()) publishNodeCamera(frame);
    if (!publishMessage(topicRoot_ + "/report", allReportText(frame.results, format_))) {
        ++framesSkipped_;
        return;
    }
    std::vector<std::string> now;
    for (const MarkerResult& result : frame.results) {
        now.push_back(markerTopic(topicRoot_, result.name));
        publishMessage(now.back(), markerJson(result, frame.stamp));
    }
    for (const BodyPose& body : frame.bodies) {
        now.push_back(bodyTopic(topicRoot_, body.name));
        publishMessage(now.back(), bodyJson(body, frame.stamp));
    }
    if (!node_.empty()) publishMessage(topicRoot_ + "/frame", nodeFrameJson(nodeFrameOf(node_, frame)));
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

bool MqttOutput::publishMessage(const std::string& topic, const std::string& payload, bool retained) {
    ++unwritten_;
    if (mosquitto_publish(client_.handle(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                          retained ? kRetainedQos : 0, retained) == MOSQ_ERR_SUCCESS)
        return true;
    --unwritten_;
    return false;
}

// The intrinsics come with the frames, since the worker scales them to the
// camera's frame size only once it has opened; a frame without them (none
// installed) leaves the message due.
void MqttOutput::publishNodeCamera(const PublishedFrame& frame) {
    const CameraParam& param = frame.lens;
    if (param.xsize <= 0 || !cameraDue_.exchange(false)) return;
    NodeCamera camera{node_, param.xsize, param.ysize, {}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) camera.projection[r][c] = param.projection[r][c];
    if (!publishMessage(topicRoot_ + "/camera", nodeCameraJson(camera), true)) cameraDue_ = true;
}
