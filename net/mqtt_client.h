#pragma once
// One kept connection to an MQTT broker, for the outputs that publish and
// the fusion that subscribes: it connects without waiting, reconnects with
// back-off (1, 2, 4, 8, then 10 s between attempts) whenever the broker is
// lost, and tells the operator of the loss once and of the return once.
//
// libmosquitto's network thread reconnects by itself once a first
// connection attempt has begun, but gives up when that first attempt fails
// at once (a broker that is not running yet). Until then the owner calls
// keepTrying() from a thread of its own now and then, which makes the
// attempts with the same back-off.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include "output_target.h"

struct mosquitto;
struct mosquitto_message;

// Reconnection waits 1, 2, 4, 8 and then 10 s between attempts.
constexpr unsigned MQTT_RECONNECT_FIRST_S = 1;
constexpr unsigned MQTT_RECONNECT_MAX_S = 10;

class MqttClient {
public:
    using Notice = std::function<void(const std::string&)>;

    // What the operator hears, each after "MQTT broker HOST:PORT ".
    struct Texts {
        std::string away;  // not there at start: "...; tracking goes on, publishing starts when it is there."
        std::string lost;  // lost once connected
        std::string back;  // back after a loss
    };
    // Called on libmosquitto's thread: after every connection the broker
    // accepted (subscribe or announce there), and per message received.
    struct Hooks {
        std::function<void()> connected;
        std::function<void()> disconnected;
        std::function<void(const mosquitto_message&)> message;
        std::function<void(int mid)> published;
    };
    // A message the broker publishes for us when we vanish without a word.
    struct Will {
        std::string topic, payload;
        bool retain = false;
    };

    // `target` has been checked (parseMqttTarget). Makes the first attempt
    // at once.
    MqttClient(const OutputTarget& target, Texts texts, Notice notice, Hooks hooks, const Will* will = nullptr);
    // Disconnects (after what has been handed to libmosquitto) and joins
    // libmosquitto's thread.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Until the network thread runs: another attempt when the back-off has
    // passed. Call from one thread of the owner's.
    void keepTrying();
    // Ends the connection now; no hook runs after it returns.
    void close();

    bool connected() const { return state_ == State::Connected; }
    mosquitto* handle() const { return client_; }
    const OutputTarget& target() const { return target_; }

private:
    enum class State { Connecting, Connected, Lost, Closing };

    bool startConnecting();
    void connectionUp(int rc);
    void connectionDown(int rc);
    void tell(const std::string& text);

    const OutputTarget target_;
    const Texts texts_;
    Notice notice_;
    Hooks hooks_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> networkThreadStarted_{false};
    bool closed_ = false;
    std::chrono::steady_clock::time_point nextAttempt_;
    std::chrono::seconds retryDelay_{MQTT_RECONNECT_FIRST_S};
    std::string lastConnectError_;
    std::atomic<State> state_{State::Connecting};
};
