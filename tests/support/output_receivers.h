#pragma once
// Real receivers for the TUIO and MQTT outputs, for tests and benchmarks: a
// Mosquitto broker process on a loopback port, a libmosquitto subscriber and
// a liblo OSC server. Every wait has a time limit.
#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

// A loopback port nobody listens on at the moment of asking.
int freeLoopbackPort(bool udp = false);
// A TCP connection to 127.0.0.1:port, -1 when refused.
int connectLoopback(int port);

// `mosquitto -p PORT` in the foreground, ended with SIGTERM. With
// `configLines`, a configuration file listening on 127.0.0.1:PORT with
// those lines added is used instead (e.g. "set_tcp_nodelay true").
class Broker {
public:
    explicit Broker(int port, std::string configLines = "");
    ~Broker();
    // Waits until the broker accepts connections; false when it does not.
    bool start();
    void stop();
    int port() const { return port_; }

private:
    int port_;
    std::string configLines_;
    std::string configPath_;
    pid_t pid_ = -1;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    double receivedAt = 0;  // wall clock, seconds since 1970
};

class MqttSubscriber {
public:
    // Connects to 127.0.0.1:port and subscribes to `topic`; connected()
    // tells whether both happened.
    MqttSubscriber(int port, const std::string& topic);
    ~MqttSubscriber();
    bool connected() const { return subscribed_; }
    // True when at least `count` messages have arrived within the limit.
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::vector<MqttMessage> messages();
    std::size_t count();

private:
    mosquitto* client_ = nullptr;
    bool subscribed_ = false;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<MqttMessage> messages_;
};

struct OscMessage {
    std::string path;
    std::string types;
    std::vector<std::string> strings;
    std::vector<int> ints;
    std::vector<float> floats;
};

// A liblo server thread on a UDP port, keeping every message in order.
class OscReceiver {
public:
    explicit OscReceiver(int port);
    ~OscReceiver();
    bool listening() const { return server_ != nullptr; }
    bool waitFor(std::function<bool(const std::vector<OscMessage>&)> done,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::vector<OscMessage> messages();

private:
    static int handle(const char* path, const char* types, void** argv, int argc, void* message, void* self);
    void* server_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<OscMessage> messages_;
};

// A receiving tool of another project (oscdump, mosquitto_sub) run as a
// person would: its standard output, line by line, ended with SIGTERM.
class ToolOutput {
public:
    explicit ToolOutput(std::vector<std::string> argv);
    ~ToolOutput();
    bool running() const { return pid_ > 0; }
    std::vector<std::string> lines();
    // True when `done` holds for the lines within the limit.
    bool waitFor(std::function<bool(const std::vector<std::string>&)> done,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    std::string path_;
    pid_t pid_ = -1;
};

// True once something other than this process holds the UDP port on
// 127.0.0.1 (a receiver has bound it); false after the limit.
bool waitForUdpListener(int port, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The fseq numbers among `messages` for one profile, in arrival order.
std::vector<int> fseqNumbers(const std::vector<OscMessage>& messages, const std::string& profile);
