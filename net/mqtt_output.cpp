#include "mqtt_output.h"
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <random>
#include <stdexcept>
#include <mosquitto.h>
#include "node_messages.h"

namespace {

constexpr std::size_t kQueueFrames = 4;
// libmosquitto queues QoS 0 messages without limit while the socket is
// slow; past this many unwritten messages whole frames are dropped instead.
constexpr int kMaxUnwritten = 512;
constexpr int kKeepAliveSeconds = 5;

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// Unique per output: a broker drops the older of two clients with one id.
// Kept within the 23 characters every MQTT 3.1.1 broker must accept.
std::string clientId() {
    static std::atomic<int> made{0};
    static const unsigned processTag = std::random_device{}();
    char id[24];
    std::snprintf(id, sizeof id, "quillmark-%08x-%d", processTag, ++made % 1000);
    return id;
}

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

} // namespace

std::string markerTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/markers/" + topicLevel(name);
}

std::string bodyTopic(const std::string& prefix, const std::string& name) {
    return prefix + "/bodies/" + topicLevel(name);
}

MqttOutput::MqttOutput(const OutputTarget& target, DataFormat format, Notice notice, std::string node)
    : target_(target), format_(format), notice_(std::move(notice)), node_(std::move(node)),
      topicRoot_(node_.empty() ? target.prefix : target.prefix + "/nodes/" + node_) {
    initialiseLibrary();
    client_ = mosquitto_new(clientId().c_str(), true, this);
    if (!client_) throw std::runtime_error("the MQTT client could not be created");
    // A node that dies without a word (killed, its machine gone) still
    // tells the fusion so: the broker publishes this when the link breaks.
    if (!node_.empty() &&
        mosquitto_will_set(client_, (topicRoot_ + "/camera").c_str(), 0, nullptr, kRetainedQos, true) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("the MQTT last will of node " + node_ + " could not be set");
    // Small messages at 30 Hz: Nagle's delay would be most of the latency.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(client_, MQTT_RECONNECT_FIRST_S, MQTT_RECONNECT_MAX_S, true);
    mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttOutput*>(self)->connectionUp(rc);
    });
    mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttOutput*>(self)->connectionDown(rc);
    });
    mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int) {
        --static_cast<MqttOutput*>(self)->unwritten_;
    });
    if (!startConnecting()) {
        state_ = State::Lost;
        tell("MQTT broker " + mqttTargetText(target_) + " is not reachable (" + lastConnectError_ +
             "); tracking goes on, publishing starts when it is there.");
    }
    queue_ = std::make_unique<FrameQueue>(kQueueFrames, [this](const PublishedFrame& frame) { publish(frame); });
}

MqttOutput::~MqttOutput() {
    queue_->stop();
    // Tracking stops: every marker still in view leaves. The messages go
    // out before the disconnect, which libmosquitto queues after them; its
    // network thread then ends by itself and is joined, never cancelled.
    if (state_ == State::Connected) {
        publishGone(inView_, {});
        // A clean stop says what the last will says; the disconnect makes
        // the broker drop the will itself.
        if (!node_.empty()) publishMessage(topicRoot_ + "/camera", "", true);
    }
    state_ = State::Closing;
    mosquitto_disconnect(client_);
    if (networkThreadStarted_) mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

// libmosquitto's network thread reconnects by itself once a first
// connection attempt has begun, but gives up when that first attempt fails
// at once (a broker that is not running yet). Until then the attempts are
// made here, on the sender thread, with the same back-off.
bool MqttOutput::startConnecting() {
    const int rc = mosquitto_connect_async(client_, target_.host.c_str(), target_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        lastConnectError_ = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
        nextAttempt_ = std::chrono::steady_clock::now() + retryDelay_;
        retryDelay_ = std::min(retryDelay_ * 2, std::chrono::seconds(MQTT_RECONNECT_MAX_S));
        return false;
    }
    networkThreadStarted_ = mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    return true;
}

void MqttOutput::publishFrame(const PublishedFrame& frame) { queue_->push(frame); }

void MqttOutput::publish(const PublishedFrame& frame) {
    if (!networkThreadStarted_ && std::chrono::steady_clock::now() >= nextAttempt_) startConnecting();
    if (state_ != State::Connected || unwritten_ > kMaxUnwritten) {
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
    if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                          retained ? kRetainedQos : 0, retained) == MOSQ_ERR_SUCCESS)
        return true;
    --unwritten_;
    return false;
}

// The intrinsics come with the frames, since the worker scales them to the
// camera's frame size only once it has opened; a frame without them (none
// installed) leaves the message due.
void MqttOutput::publishNodeCamera(const PublishedFrame& frame) {
    const CameraParam& param = frame.cameraParam;
    if (param.xsize <= 0 || !cameraDue_.exchange(false)) return;
    NodeCamera camera{node_, param.xsize, param.ysize, {}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) camera.projection[r][c] = param.projection[r][c];
    if (!publishMessage(topicRoot_ + "/camera", nodeCameraJson(camera), true)) cameraDue_ = true;
}

void MqttOutput::connectionUp(int rc) {
    if (rc != 0) {
        // The broker answered but refused (protocol, identifier, access).
        if (state_.exchange(State::Lost) != State::Lost)
            tell("MQTT broker " + mqttTargetText(target_) + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    unwritten_ = 0;
    cameraDue_ = true;
    if (state_.exchange(State::Connected) == State::Lost)
        tell("MQTT broker " + mqttTargetText(target_) + " is back; publishing again.");
}

void MqttOutput::connectionDown(int rc) {
    // rc 0 is our own disconnect at the end.
    if (rc == 0 || state_ == State::Closing) return;
    const State before = state_.exchange(State::Lost);
    unwritten_ = 0;
    if (before == State::Connected)
        tell("MQTT broker " + mqttTargetText(target_) + " is lost; frames are dropped until it is back.");
    else if (before == State::Connecting)
        tell("MQTT broker " + mqttTargetText(target_) +
             " is not reachable; tracking goes on, publishing starts when it is there.");
}

void MqttOutput::tell(const std::string& text) {
    if (notice_) notice_(text);
}
