// quillmark fuse: the fusion node. It subscribes to every camera node under
// a prefix of the broker, fuses their frames into one world (tracking/
// fusion.h) and serves the world as a camera's server serves its view: TCP
// clients in Automatic or Command Mode (all, get, bodies, body), MQTT under
// PREFIX/world/, and the operator page with a table of the nodes.
//
// One thread fuses: it takes the subscriber's messages, reads them (trusting
// nothing), and publishes each fused frame to the clients' table, the
// broker and the page. The main thread only waits for a stop signal.
#include "command_line.h"
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <boost/system/system_error.hpp>
#include "bodies.h"
#include "body_report.h"
#include "catalogue.h"
#include "config.h"
#include "fusion.h"
#include "mqtt_input.h"
#include "network.h"
#include "node_messages.h"
#include "protocol.h"
#include "server_state.h"
#include "stop_signals.h"
#include "web_page.h"
#include "world_publisher.h"

namespace {

const char* const kConfigPath = "Data/config.txt";
// Messages waiting for the fusion thread: a few frames of 32 nodes.
constexpr std::size_t kQueueMessages = 256;
// The fusion thread looks at its groups at least this often, so a group
// whose window has passed leaves within a few milliseconds of it.
constexpr int kPollMs = 2;
// Bad node names told one by one; beyond, only counted, so a flood of
// names cannot grow what the fusion remembers.
constexpr std::size_t kBadNamesTold = 64;

struct FuseOptions {
    OutputTarget mqtt;  // --mqtt, [MqttHost] [MqttPort] [MqttPrefix]: where the nodes publish
    int port = 0;
    bool automatic = true;
    DataFormat format;
    WebOptions web;
    std::string webOption = "--http";
    double windowMs = 20;
    int commandIdleTimeout = COMMAND_IDLE_TIMEOUT_DEFAULT_S;
};

struct FuseRequest {
    FuseOptions options;
    Overrides overrides;
};

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A frame stamped well after it arrived comes from a clock ahead of the
// others: taken, it would open groups the other nodes' frames never reach
// and make them all late. One captured long before it arrived is stale.
// Either way nothing of it belongs in the present world.
constexpr double kClockOffMaxS = 1.0;

std::string clockProblem(double captureTime, double arrival) {
    char text[200] = "";
    const double off = captureTime - arrival;
    if (off > kClockOffMaxS)
        std::snprintf(text, sizeof text,
                      "its frames are stamped %.1f s after they arrive: its clock is ahead of this machine's "
                      "(keep the clocks together); they are not fused", off);
    else if (off < -kClockOffMaxS)
        std::snprintf(text, sizeof text,
                      "its frames arrive %.1f s after their capture (a clock behind this machine's, or a delay "
                      "on the way): stale, they are not fused", -off);
    return text;
}

void tell(const std::string& text) { std::fprintf(stderr, "quillmark: %s\n", text.c_str()); }

// Reads what the subscriber hands on and gives the fusion what it can use;
// the rest is refused, counted by the fusion and told once per node and
// kind of message (its first reason stands for the later ones).
class MessageReader {
public:
    explicit MessageReader(Fusion& fusion) : fusion_(fusion) {}

    void take(const NodeMessage& message, double now) {
        if (!validTopicName(message.node)) return badName(message.node);
        std::string why;
        switch (message.kind) {
        case NodeMessage::Kind::Oversized:
            return refuse(message.node, "message", now,
                          "a message of " + std::to_string(message.bytes) + " bytes, over the " +
                              std::to_string(kNodeMessageMaxBytes) + " allowed, dropped unread");
        case NodeMessage::Kind::Camera:
            if (message.payload.empty()) return fusion_.nodeGone(message.node, now);
            if (auto camera = readNodeCamera(message.payload, why)) {
                if (camera->node == message.node) return fusion_.takeCamera(*camera, now);
                why = "it names the node \"" + camera->node + "\"";
            }
            return refuse(message.node, "camera", now, "its camera message is refused: " + why);
        case NodeMessage::Kind::Frame:
            if (auto frame = readNodeFrame(message.payload, why)) {
                if (frame->node != message.node) {
                    why = "it names the node \"" + frame->node + "\"";
                } else {
                    const std::string off = clockProblem(frame->time, wallClockSeconds());
                    if (off.empty()) return fusion_.takeFrame(std::move(*frame), now);
                    return refuse(message.node, "clock", now, off);
                }
            }
            return refuse(message.node, "frame", now, "its frames are refused: " + why);
        }
    }

    uint64_t badNames() const { return badNames_; }

private:
    void refuse(const std::string& node, const std::string& kind, double now, const std::string& why) {
        const auto key = std::make_pair(node, kind);
        auto first = firstReasons_.find(key);
        if (first == firstReasons_.end() && firstReasons_.size() < 4 * fusion_.options().maxNodes)
            first = firstReasons_.emplace(key, why).first;
        fusion_.refused(node, first == firstReasons_.end() ? why : first->second, now);
    }

    void badName(const std::string& node) {
        ++badNames_;
        if (toldNames_.size() >= kBadNamesTold || !toldNames_.insert(node).second) return;
        tell("messages on the topic of node \"" + node + "\" are ignored: a node name is 1 to " +
             std::to_string(kNodeNameMax) + " bytes of UTF-8 without +, #, / or white space" +
             (toldNames_.size() == kBadNamesTold ? " (further bad names are not told)" : ""));
    }

    Fusion& fusion_;
    std::map<std::pair<std::string, std::string>, std::string> firstReasons_;
    std::set<std::string> toldNames_;
    uint64_t badNames_ = 0;
};

// Where every fused frame goes: the clients' table, the broker, the page.
struct WorldOutputs {
    bool bodiesTracked = false;
    WorldPublisher* broker = nullptr;
    std::shared_ptr<WebOutput> page;

    void publish(const FusedFrame& fused) const {
        {
            std::lock_guard<std::mutex> hold(ResultTableLock);
            LatestResults = fused.markers;
            LatestStamp = fused.stamp;
            LatestBodies = fused.bodies;
        }
        // The fusion has no picture of its own: its frame is 0 x 0 pixels.
        broker->publish(JsonFrame{&fused.markers, fused.stamp, 0, 0, bodiesTracked ? &fused.bodies : nullptr, nullptr});
        if (page) {
            PublishedFrame frame;
            frame.results = fused.markers;
            frame.stamp = fused.stamp;
            frame.bodies = fused.bodies;
            frame.bodiesTracked = bodiesTracked;
            page->publishFrame(frame);
        }
    }
};

// The catalogue and the bodies, as a camera's server reads them.
struct FusedWorld {
    Catalogue catalogue;
    BodyList bodies;
    bool bodiesPresent = false;
};

FusedWorld readWorld() {
    FusedWorld world;
    LoadPatternList(world.catalogue);
    world.bodiesPresent = readBodyList(kBodyListPath, world.catalogue, world.bodies);
    for (const std::string& refusal : world.bodies.refusals) std::printf("%s\n", refusal.c_str());
    return world;
}

std::string describeServing(const FuseOptions& options) {
    std::error_code ignored;
    char window[32];
    std::snprintf(window, sizeof window, "%g", options.windowMs);
    return std::filesystem::current_path(ignored).string() + ", fusion of the nodes under " +
           mqttTargetText(options.mqtt) + ", window " + window + " ms, " + (options.automatic ? "Automatic Mode" : "Command Mode") +
           ", fields " + formatFieldList(options.format);
}

std::string nodeState(const NodeStatus& node) {
    return node.name + (node.lost ? " lost" : " live") + ", " + std::to_string(node.frames) + " frames, " +
           std::to_string(node.fused) + " fused, " + std::to_string(node.late) + " late, " +
           std::to_string(node.refused) + " refused" + (node.hasWorldPose ? "" : ", no world pose");
}

// The page's MQTT line: both connections and what went through them.
std::string brokerState(const MqttInput& input, const WorldPublisher& broker) {
    return std::string(input.connected() && broker.connected() ? "connected" : "not connected") + ", " +
           std::to_string(input.received()) + " node messages (" + std::to_string(input.dropped()) +
           " dropped behind, " + std::to_string(input.oversized()) + " oversized), " +
           std::to_string(broker.framesPublished()) + " fused frames published, " +
           std::to_string(broker.framesDropped()) + " dropped";
}

int serveFusion(const FuseOptions& options, const StopSignals& stopSignals) {
    const FusedWorld world = readWorld();
    BodiesServed = world.bodiesPresent;
    FusionOptions fusionOptions;
    fusionOptions.windowS = options.windowMs / 1000.0;
    // The core is driven by the fusion thread alone; the page's status
    // asks for the nodes from its own thread, under this lock.
    std::mutex fusionLock;
    Fusion fusion(fusionOptions, world.catalogue, world.bodies.bodies, tell);

    std::printf("Fusing the nodes of MQTT broker %s\n", mqttTargetText(options.mqtt).c_str());
    std::fflush(stdout);
    MqttInput input(options.mqtt, kQueueMessages, tell);
    WorldPublisher broker(options.mqtt, tell);
    WorldOutputs outputs{world.bodiesPresent, &broker, nullptr};
    if (options.web.on()) {
        std::string error;
        auto nodes = [&fusion, &fusionLock] {
            std::vector<JsonNodeRow> rows;
            std::lock_guard<std::mutex> hold(fusionLock);
            for (const NodeStatus& n : fusion.nodes())
                rows.push_back({n.name, n.lost, n.frames, n.fused, n.late, n.refused, n.hasWorldPose});
            return rows;
        };
        outputs.page = startWebPage(options.web, options.webOption, world.catalogue,
                                    "fusion of " + mqttTargetText(options.mqtt), {}, error,
                                    {nodes, [&input, &broker] { return brokerState(input, broker); }});
        if (!outputs.page) {
            tell(error);
            return 1;
        }
        std::printf("Page on %s\n", webPageAddress(options.web, outputs.page->port()).c_str());
        std::fflush(stdout);
    }
    setActiveDataFormat(options.format);
    AutomaticModeFlag = options.automatic;
    setCommandIdleTimeout(options.commandIdleTimeout);
    setServerActive(true);
    Network server;
    try {
        server.start(options.port, serveClient);
    } catch (const boost::system::system_error& e) {
        setServerActive(false);
        tell("cannot listen on port " + std::to_string(options.port) + ": " + e.code().message());
        return 1;
    }
    std::printf("Listening on port %d: %s\n", server.port(), describeServing(options).c_str());
    std::fflush(stdout);

    std::atomic<bool> stopping{false};
    std::thread fuser([&] {
        MessageReader reader(fusion);
        while (!stopping) {
            std::optional<NodeMessage> message = input.next(kPollMs);
            const double now = steadySeconds();
            std::vector<FusedFrame> fused;
            {
                std::lock_guard<std::mutex> hold(fusionLock);
                if (message) reader.take(*message, now);
                fused = fusion.poll(now);
            }
            for (const FusedFrame& frame : fused) outputs.publish(frame);
        }
    });
    stopSignals.waitForever();
    stopping = true;
    input.stop();
    fuser.join();
    setServerActive(false);
    server.stop();
    Network::waitForLiveConnections(0, 3 * PASS_INTERVAL_MS);
    uint64_t frames;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        frames = LatestStamp.frame;
    }
    std::printf("Stopped: %llu frames fused, %d clients served\n", static_cast<unsigned long long>(frames),
                Network::connectionsServed());
    for (const NodeStatus& node : fusion.nodes()) std::printf("  node %s\n", nodeState(node).c_str());
    std::fflush(stdout);
    return 0;
}

bool parseHttpOption(const std::string& text, const std::string& name, FuseOptions& options, std::string& error) {
    if (!parseWebAddress(text, name, options.web, error)) return false;
    options.webOption = name;
    return true;
}

void declareFuseOptions(CLI::App& app, FuseRequest& request) {
    FuseOptions& options = request.options;
    Overrides& overrides = request.overrides;
    addParsedOption(app, overrides, "--mqtt", "HOST[:PORT][/PREFIX]",
                    "the broker the camera nodes publish to (1883, prefix quillmark)", options.mqtt,
                    parseMqttTarget);
    addValueOption(app, "--port", "N", "TCP port, 0 to 65535 (0: the system picks one)",
                   [&](const std::string& text) {
                       const int port = wholeNumber("--port", text, 0, 65535);
                       overrides.add([&options, port] { options.port = port; });
                   });
    addValueOption(app, "--mode", "automatic|command", "push reports every 33 ms, or answer commands",
                   [&](const std::string& text) {
                       if (text != "automatic" && text != "command")
                           throw refusal("--mode", "is automatic or command, not \"" + text + "\"");
                       overrides.add([&options, text] { options.automatic = text == "automatic"; });
                   });
    addFieldsOption(app, overrides, options.format, "the fields of each report line");
    addParsedOption(app, overrides, "--http", "[HOST:]PORT",
                    "serve the operator page with the nodes' table (host 127.0.0.1)", options, parseHttpOption);
    addValueOption(app, "--window", "MS", "frames this close in capture time are one instant (1 to 1000, 20)",
                   [&](const std::string& text) { options.windowMs = wholeNumber("--window", text, 1, 1000); });
    addCommandTimeoutOption(app, overrides, options.commandIdleTimeout);
    addPageAllowOption(app, overrides, options.web.allowedHosts);
}

int runFuse(FuseRequest& request) {
    Settings settings;
    if (std::filesystem::exists(kConfigPath)) LoadConfig(settings);
    FuseOptions& options = request.options;
    options.port = settings.port;
    options.automatic = settings.dataFlow == 0;
    options.format = settings.format;
    options.commandIdleTimeout = settings.commandIdleTimeout;
    options.mqtt = mqttTargetOf(settings);
    options.web = webOptionsOf(settings);
    if (options.web.on()) options.webOption = "[HttpPort]";
    request.overrides.apply();
    std::string error;
    if (!checkMqttTarget(options.mqtt, error)) {
        tell(std::string(kConfigPath) + ": " + error);
        return 2;
    }
    if (!options.mqtt.on())
        throw CLI::ValidationError("fuse needs the nodes' broker: --mqtt HOST[:PORT][/PREFIX] or [MqttHost]");
    const StopSignals stopSignals;
    return serveFusion(options, stopSignals);
}

} // namespace

Command fuseCommand() {
    return {"fuse", "usage: quillmark fuse --mqtt HOST[:PORT][/PREFIX] [-C DIR] [OPTION...]\n",
            "  The fusion node: fuses the camera nodes publishing under PREFIX/nodes/ into one world, on the\n"
            "  catalogue and bodies of Data/, and serves it: TCP clients (all, get, bodies, body, in world\n"
            "  coordinates), MQTT PREFIX/world/frame and PREFIX/world/bodies/NAME, and with --http the page.\n"
            "  SIGINT or SIGTERM stops it.\n",
            FieldWordsNote, declaring(declareFuseOptions, runFuse)};
}
