#include "output_receivers.h"
#include "wait.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstring>
#include <fstream>
#include <thread>
#include <lo/lo.h>
#include <mosquitto.h>

extern char** environ;

namespace {

double wallClockSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool acceptsConnections(int port) {
    const int fd = connectLoopback(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

} // namespace

int connectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

int freeLoopbackPort(bool udp) {
    const int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

Broker::Broker(int port, std::string configLines) : port_(port), configLines_(std::move(configLines)) {}

Broker::~Broker() {
    stop();
    if (!configPath_.empty()) unlink(configPath_.c_str());
}

bool Broker::start() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string port = std::to_string(port_);
    char program[] = "mosquitto";
    char portFlag[] = "-p";
    char configFlag[] = "-c";
    char* argv[] = {program, portFlag, port.data(), nullptr};
    if (!configLines_.empty()) {
        char path[] = "/tmp/quillmark-broker-XXXXXX";
        const int fd = mkstemp(path);
        const std::string text = "listener " + port + " 127.0.0.1\nallow_anonymous true\n" + configLines_ + "\n";
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
        close(fd);
        configPath_ = path;
        argv[1] = configFlag;
        argv[2] = configPath_.data();
    }
    if (posix_spawnp(&pid_, program, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; pid_ > 0 && i < 500; ++i) {
        if (acceptsConnections(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Broker::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

MqttSubscriber::MqttSubscriber(int port, const std::string& topic) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
        auto* me = static_cast<MqttSubscriber*>(self);
        MqttMessage copy{message->topic, std::string(static_cast<const char*>(message->payload),
                                                     static_cast<std::size_t>(message->payloadlen)),
                         wallClockSeconds()};
        {
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->messages_.push_back(std::move(copy));
        }
        me->arrived_.notify_all();
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
        auto* me = static_cast<MqttSubscriber*>(self);
        {
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->subscribed_ = true;
        }
        me->arrived_.notify_all();
    });
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
    mosquitto_subscribe(client_, nullptr, topic.c_str(), 0);
    mosquitto_loop_start(client_);
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(5), [this] { return subscribed_; });
}

MqttSubscriber::~MqttSubscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
}

bool MqttSubscriber::waitFor(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
}

std::vector<MqttMessage> MqttSubscriber::messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::size_t MqttSubscriber::count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

OscReceiver::OscReceiver(int port) {
    lo_server_thread server = lo_server_thread_new(std::to_string(port).c_str(), nullptr);
    if (!server) return;
    lo_server_thread_add_method(
        server, nullptr, nullptr,
        [](const char* path, const char* types, lo_arg** argv, int argc, lo_message message, void* self) {
            return OscReceiver::handle(path, types, reinterpret_cast<void**>(argv), argc, message, self);
        },
        this);
    lo_server_thread_start(server);
    server_ = server;
}

OscReceiver::~OscReceiver() {
    if (server_) lo_server_thread_free(static_cast<lo_server_thread>(server_));
}

int OscReceiver::handle(const char* path, const char* types, void** argv, int argc, void*, void* self) {
    auto* me = static_cast<OscReceiver*>(self);
    OscMessage message{path, types, {}, {}, {}};
    for (int i = 0; i < argc; ++i) {
        // OSC packs 4-byte arguments at 4-byte offsets, below lo_arg's own
        // alignment: copied out, not read through the union.
        const char* arg = static_cast<const char*>(argv[i]);
        if (types[i] == 's') message.strings.push_back(arg);
        if (types[i] == 'i') {
            int32_t value;
            std::memcpy(&value, arg, sizeof value);
            message.ints.push_back(value);
        }
        if (types[i] == 'f') {
            float value;
            std::memcpy(&value, arg, sizeof value);
            message.floats.push_back(value);
        }
    }
    {
        std::lock_guard<std::mutex> lock(me->mutex_);
        me->messages_.push_back(std::move(message));
    }
    me->arrived_.notify_all();
    return 0;
}

bool OscReceiver::waitFor(std::function<bool(const std::vector<OscMessage>&)> done, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return done(messages_); });
}

std::vector<OscMessage> OscReceiver::messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<int> fseqNumbers(const std::vector<OscMessage>& messages, const std::string& profile) {
    std::vector<int> numbers;
    for (const OscMessage& m : messages) {
        if (m.path == profile && !m.strings.empty() && m.strings[0] == "fseq" && !m.ints.empty())
            numbers.push_back(m.ints[0]);
    }
    return numbers;
}

ToolOutput::ToolOutput(std::vector<std::string> argv) {
    char path[] = "/tmp/quillmark-tool-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return;
    close(fd);
    path_ = path;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path, O_WRONLY | O_TRUNC, 0);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ToolOutput::~ToolOutput() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!path_.empty()) unlink(path_.c_str());
}

std::vector<std::string> ToolOutput::lines() {
    std::vector<std::string> out;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool ToolOutput::waitFor(std::function<bool(const std::vector<std::string>&)> done, std::chrono::milliseconds limit) {
    return ::waitFor([&] { return done(lines()); }, limit);
}

bool waitForUdpListener(int port, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
        close(fd);
        if (taken) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
