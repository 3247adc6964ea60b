#include "web_page.h"
#include <unistd.h>
#include <cstdio>
#include "catalogue.h"
#include "mqtt_output.h"
#include "network.h"
#include "protocol.h"
#include "tuio_output.h"
#include "whole_file.h"

namespace {

// Read once at start: serving never reads a file.
std::vector<WebCatalogueEntry> pageCatalogue(const Catalogue& catalogue) {
    std::vector<WebCatalogueEntry> entries;
    for (const PatternEntry& entry : catalogue) {
        WebCatalogueEntry page{entry.name, entry.width, entry.inUse, {}};
        const std::string path = thumbnailFilePath(entry.index);
        std::string bytes, reason;
        // A pattern without a thumbnail is listed without one.
        if (readWholeFile(path, bytes, reason)) page.thumbnailJpeg.assign(bytes.begin(), bytes.end());
        else if (access(path.c_str(), F_OK) == 0) std::printf("%s can not open: %s.\n", path.c_str(), reason.c_str());
        entries.push_back(std::move(page));
    }
    return entries;
}

std::string tuioState(const TuioOutput& tuio) {
    return "sending, " + std::to_string(tuio.bundlesSent()) + " bundles, " + std::to_string(tuio.framesDropped()) +
           " frames dropped";
}

std::string mqttState(const MqttOutput& mqtt) {
    return std::string(mqtt.connected() ? "connected" : "not connected") + ", " +
           std::to_string(mqtt.framesPublished()) + " frames published, " + std::to_string(mqtt.framesDropped()) +
           " dropped";
}

} // namespace

std::shared_ptr<WebOutput> startWebPage(const WebOptions& options, const std::string& option,
                                        const Catalogue& catalogue, const std::string& camera,
                                        const std::vector<std::shared_ptr<FrameOutput>>& outputs, std::string& error,
                                        WebFusion fusion) {
    std::shared_ptr<TuioOutput> tuio;
    std::shared_ptr<MqttOutput> mqtt;
    for (const auto& output : outputs) {
        if (auto t = std::dynamic_pointer_cast<TuioOutput>(output)) tuio = t;
        if (auto m = std::dynamic_pointer_cast<MqttOutput>(output)) mqtt = m;
    }
    auto status = [camera, tuio, mqtt, fusion] {
        WebStatus s;
        s.camera = camera;
        s.tcpClients = Network::liveConnections();
        s.droppedForSlowClients = framesSkippedForSlowClients();
        s.tuio = tuio ? tuioState(*tuio) : "off";
        s.mqtt = mqtt ? mqttState(*mqtt) : "off";
        if (fusion.nodes) {
            s.fusion = true;
            s.nodes = fusion.nodes();
        }
        if (fusion.mqtt) s.mqtt = fusion.mqtt();
        return s;
    };
    auto page = std::make_shared<WebOutput>(options, pageCatalogue(catalogue), status);
    if (!page->start(error)) {
        error = option + ": " + error;
        return nullptr;
    }
    return page;
}

std::string webPageAddress(const WebOptions& options, int port) {
    const bool ipv6 = options.host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(port) + "/";
}
