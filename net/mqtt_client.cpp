#include "mqtt_client.h"
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <mosquitto.h>

namespace {

constexpr int kKeepAliveSeconds = 5;

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// Unique per client: a broker drops the older of two clients with one id.
// Kept within the 23 characters every MQTT 3.1.1 broker must accept.
std::string clientId() {
    static std::atomic<int> made{0};
    static const unsigned processTag = std::random_device{}();
    char id[24];
    std::snprintf(id, sizeof id, "quillmark-%08x-%d", processTag, ++made % 1000);
    return id;
}

} // namespace

MqttClient::MqttClient(const OutputTarget& target, Texts texts, Notice notice, Hooks hooks, const Will* will)
    : target_(target), texts_(std::move(texts)), notice_(std::move(notice)), hooks_(std::move(hooks)) {
    initialiseLibrary();
    client_ = mosquitto_new(clientId().c_str(), true, this);
    if (!client_) throw std::runtime_error("the MQTT client could not be created");
    // Small messages at 30 Hz: Nagle's delay would be most of the latency.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(client_, MQTT_RECONNECT_FIRST_S, MQTT_RECONNECT_MAX_S, true);
    if (will)
        mosquitto_will_set(client_, will->topic.c_str(), static_cast<int>(will->payload.size()), will->payload.data(), 1,
                           will->retain);
    mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttClient*>(self)->connectionUp(rc);
    });
    mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<MqttClient*>(self)->connectionDown(rc);
    });
    mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int mid) {
        const auto* client = static_cast<MqttClient*>(self);
        if (client->hooks_.published) client->hooks_.published(mid);
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
        const auto* client = static_cast<MqttClient*>(self);
        if (client->hooks_.message && message) client->hooks_.message(*message);
    });
    if (!startConnecting()) {
        state_ = State::Lost;
        tell(texts_.away.empty() ? "is not reachable (" + lastConnectError_ + ")."
                                 : "is not reachable (" + lastConnectError_ + "); " + texts_.away);
    }
}

MqttClient::~MqttClient() {
    close();
    mosquitto_destroy(client_);
}

void MqttClient::close() {
    if (closed_) return;
    closed_ = true;
    // The disconnect is queued after every message handed over before it;
    // the network thread then ends by itself and is joined, never cancelled.
    state_ = State::Closing;
    mosquitto_disconnect(client_);
    if (networkThreadStarted_) mosquitto_loop_stop(client_, false);
}

void MqttClient::keepTrying() {
    if (!networkThreadStarted_ && !closed_ && std::chrono::steady_clock::now() >= nextAttempt_) startConnecting();
}

bool MqttClient::startConnecting() {
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

void MqttClient::connectionUp(int rc) {
    if (rc != 0) {
        // The broker answered but refused (protocol, identifier, access).
        if (state_.exchange(State::Lost) != State::Lost)
            tell(std::string("refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    // The owner sets itself up for the connection before it counts as up.
    if (hooks_.connected) hooks_.connected();
    if (state_.exchange(State::Connected) == State::Lost) tell(texts_.back);
}

void MqttClient::connectionDown(int rc) {
    // rc 0 is our own disconnect at the end.
    if (rc == 0 || state_ == State::Closing) return;
    const State before = state_.exchange(State::Lost);
    if (hooks_.disconnected) hooks_.disconnected();
    if (before == State::Connected)
        tell(texts_.lost);
    else if (before == State::Connecting)
        tell(texts_.away.empty() ? "is not reachable." : "is not reachable; " + texts_.away);
}

void MqttClient::tell(const std::string& text) {
    if (notice_) notice_("MQTT broker " + mqttTargetText(target_) + " " + text);
}
