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

namespace {

constexpr std::size_t kQueueFrames = 4;
// libmosquitto queues QoS 0 messages without limit while the socket is
// slow; past this many unwritten messages whole frames are dropped instead.
constexpr int kMaxUnwritten = 512;
constexpr int kKeepAliveSeconds = 5;

void appendNumber(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void appendArray(std::string& out, const double* values, int count) {
    out += '[';
    for (int k = 0; k < count; ++k) {
        if (k) out += ',';
        appendNumber(out, values[k]);
    }
    out += ']';
}

// The length of the well-formed UTF-8 character at `text[at]` that is no
// control character, or 0.
std::size_t printableCharacterAt(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(k) & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return 0;
    if ((code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE) return 0;
    return length;
}

void appendString(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

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

} // namespace

std::string utf8Escaped(const std::string& name) {
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = printableCharacterAt(name, at);
        if (length > 0) {
            out.append(name, at, length);
            at += length;
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(name[at++]));
        out += escaped;
    }
    return out;
}

std::string markerJson(const MarkerResult& r, const FrameStamp& stamp) {
    std::string out = "{\"name\":";
    appendString(out, utf8Escaped(r.name));
    out += ",\"id\":" + std::to_string(r.patternId) + ",\"frame\":" + std::to_string(stamp.frame) + ",\"time\":";
    appendNumber(out, stamp.captureTime);
    const double pos2d[] = {r.px, r.py}, pos3d[] = {r.X, r.Y, r.Z}, dvec[] = {r.dx, r.dy};
    out += ",\"pos2d\":";
    appendArray(out, pos2d, 2);
    out += ",\"pos3d\":";
    appendArray(out, pos3d, 3);
    out += ",\"dvec\":";
    appendArray(out, dvec, 2);
    out += ",\"cf\":";
    appendNumber(out, r.cf);
    out += ",\"matrix\":";
    appendArray(out, r.glMatrix, 16);
    out += '}';
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out;
    appendString(out, utf8Escaped(text));
    return out;
}

std::string markerTopic(const std::string& prefix, const std::string& name) {
    std::string level = name.empty() ? "_" : utf8Escaped(name);
    for (char& c : level) {
        if (c == '+' || c == '#' || c == '/') c = '_';
    }
    return prefix + "/markers/" + level;
}

MqttOutput::MqttOutput(const OutputTarget& target, DataFormat format, Notice notice)
    : target_(target), format_(format), notice_(std::move(notice)) {
    initialiseLibrary();
    client_ = mosquitto_new(clientId().c_str(), true, this);
    if (!client_) throw std::runtime_error("the MQTT client could not be created");
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
    if (state_ == State::Connected) publishGone(inView_, {});
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
    if (!publishMessage(target_.prefix + "/report", allReportText(frame.results, format_))) {
        ++framesSkipped_;
        return;
    }
    std::vector<std::string> now;
    for (const MarkerResult& result : frame.results) {
        now.push_back(markerTopic(target_.prefix, result.name));
        publishMessage(now.back(), markerJson(result, frame.stamp));
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
    if (mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                          false) == MOSQ_ERR_SUCCESS)
        return true;
    --unwritten_;
    return false;
}

void MqttOutput::connectionUp(int rc) {
    if (rc != 0) {
        // The broker answered but refused (protocol, identifier, access).
        if (state_.exchange(State::Lost) != State::Lost)
            tell("MQTT broker " + mqttTargetText(target_) + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    unwritten_ = 0;
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
