#include "web_output.h"
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <pthread.h>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include "json.h"
#include "web_core.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// Frames counted for the rate the page shows.
constexpr std::size_t kRateWindow = 31;
// An image is due this much before its interval is over, so a 30 Hz camera
// still gives 10 images a second instead of every fourth frame.
constexpr auto kImageSlack = std::chrono::milliseconds(5);

std::string routeTarget(const std::string& target) { return target.substr(0, target.find('?')); }

// "/thumbnail/N.jpg" with N a row number without leading zeros; -1 otherwise.
int thumbnailRow(const std::string& path) {
    const std::string prefix = "/thumbnail/", suffix = ".jpg";
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string digits = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (digits.size() > 4 || (digits.size() > 1 && digits[0] == '0')) return -1;
    int row = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        row = row * 10 + (c - '0');
    }
    return row;
}

WebResponse json(std::string body) { return {200, "application/json", std::move(body), false}; }

} // namespace

bool parseWebAddress(const std::string& text, const std::string& option, WebOptions& options, std::string& error) {
    std::string host = options.host, portText = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (host == "localhost") host = "127.0.0.1";
    }
    const bool digits = !portText.empty() && portText.size() <= 5 &&
                        std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(portText) > 65535) {
        error = option + ": the port in \"" + text + "\" is not a number from 0 to 65535";
        return false;
    }
    boost::system::error_code bad;
    asio::ip::make_address(host, bad);
    if (bad) {
        error = option + ": \"" + host + "\" is not an address of this machine to listen on";
        return false;
    }
    options.host = host;
    options.port = std::stoi(portText);
    return true;
}

bool parseWebImage(const std::string& text, const std::string& option, WebOptions& options, std::string& error) {
    int width = 0, quality = options.jpegQuality;
    char comma = 0, extra = 0;
    const int read = std::sscanf(text.c_str(), "%5d%c%3d%c", &width, &comma, &quality, &extra);
    const bool shaped = (read == 1 && text.find_first_not_of("0123456789") == std::string::npos) ||
                        (read == 3 && comma == ',' && text.find_first_not_of("0123456789,") == std::string::npos);
    if (!shaped || width < 16 || width > 4096 || quality < 1 || quality > 100) {
        error = option + ": \"" + text + "\" is not WIDTH[,QUALITY] with a width from 16 to 4096 and a quality "
                "from 1 to 100";
        return false;
    }
    options.imageWidth = width;
    options.jpegQuality = quality;
    return true;
}

JsonFrame jsonFrameOf(const WebFrame& frame) {
    return JsonFrame{&frame.results, frame.stamp, frame.width, frame.height,
                     frame.bodiesTracked ? &frame.bodies : nullptr, frame.worldFrame ? &frame.camera : nullptr,
                     &frame.lens};
}

bool WebCore::isFeed(const std::string& target, bool& image) {
    const std::string path = routeTarget(target);
    image = path == "/ws/image";
    return image || path == "/ws";
}

WebResponse WebCore::route(const std::string& target) const {
    const std::string path = routeTarget(target);
    if (path == "/" || path == "/index.html") return {200, "text/html; charset=utf-8", WEB_PAGE_HTML, true};
    if (path == "/page.js") return {200, "text/javascript; charset=utf-8", WEB_PAGE_SCRIPT, true};
    if (path == "/page.css") return {200, "text/css; charset=utf-8", WEB_PAGE_STYLE, true};
    if (path == "/api/markers") return json(frameJson(latest ? jsonFrameOf(*latest) : JsonFrame{}));
    if (path == "/api/status") return json(statusJson(statusRecord()));
    if (path == "/api/catalogue") return json(catalogueJson(catalogueRows()));
    const int row = thumbnailRow(path);
    if (row >= 0 && row < static_cast<int>(catalogue.size()) && !catalogue[row].thumbnailJpeg.empty()) {
        const auto& jpeg = catalogue[row].thumbnailJpeg;
        return {200, "image/jpeg", std::string(jpeg.begin(), jpeg.end()), true};
    }
    return {404, "text/plain; charset=utf-8", "Not found\n", false};
}

JsonStatus WebCore::statusRecord() const {
    const WebStatus s = status ? status() : WebStatus{};
    JsonStatus record;
    if (recentCaptureTimes.size() >= 2 && recentCaptureTimes.back() > recentCaptureTimes.front())
        record.fps = (recentCaptureTimes.size() - 1) / (recentCaptureTimes.back() - recentCaptureTimes.front());
    record.uptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    record.camera = s.camera;
    record.width = latest ? latest->width : 0;
    record.height = latest ? latest->height : 0;
    record.frame = latest ? latest->stamp.frame : 0;
    record.tcpClients = s.tcpClients;
    record.tuio = s.tuio;
    record.mqtt = s.mqtt;
    record.droppedForSlowClients = s.droppedForSlowClients;
    record.webConnections = connections + viewers;
    record.imageViewers = imageViewers.size();
    record.refusedRequests = refusedRequests;
    record.fusion = s.fusion;
    record.nodes = s.nodes;
    return record;
}

std::vector<JsonCatalogueRow> WebCore::catalogueRows() const {
    std::vector<JsonCatalogueRow> rows;
    for (const WebCatalogueEntry& entry : catalogue)
        rows.push_back({entry.name, entry.widthMm, entry.inUse, !entry.thumbnailJpeg.empty()});
    return rows;
}

void WebCore::frameArrived(std::shared_ptr<const WebFrame> frame) {
    latest = frame;
    recentCaptureTimes.push_back(frame->stamp.captureTime);
    if (recentCaptureTimes.size() > kRateWindow) recentCaptureTimes.pop_front();
    if (feedViewers.empty()) return;
    auto unit = std::make_shared<WebUnit>();
    unit->emplace_back(frameJson(jsonFrameOf(*frame)), false);
    for (WebViewer* viewer : feedViewers) viewer->offer(unit);
}

void WebCore::addViewer(WebViewer* viewer, bool image) {
    (image ? imageViewers : feedViewers).insert(viewer);
    imageViewerCount = static_cast<int>(imageViewers.size());
}

void WebCore::removeViewer(WebViewer* viewer) {
    feedViewers.erase(viewer);
    imageViewers.erase(viewer);
    imageViewerCount = static_cast<int>(imageViewers.size());
}

WebOutput::WebOutput(const WebOptions& options, std::vector<WebCatalogueEntry> catalogue, StatusSource status)
    : core_(std::make_unique<WebCore>(options, std::move(catalogue), std::move(status))) {}

WebOutput::~WebOutput() { stop(); }


bool WebOutput::start(std::string& error) {
    WebCore& core = *core_;
    const std::string where = (core.options.host.find(':') != std::string::npos ? "[" + core.options.host + "]"
                                                                               : core.options.host) +
                              ":" + std::to_string(core.options.port);
    try {
        const tcp::endpoint endpoint(asio::ip::make_address(core.options.host),
                                     static_cast<unsigned short>(core.options.port));
        auto acceptor = std::make_unique<tcp::acceptor>(core.io);
        acceptor->open(endpoint.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        acceptor->bind(endpoint);
        acceptor->listen();
        core.port = acceptor->local_endpoint().port();
        core.guard.setPort(core.port);
        core.acceptor = std::move(acceptor);
    } catch (const boost::system::system_error& e) {
        error = "cannot listen on " + where + ": " + e.code().message();
        return false;
    }
    WebCore* shared = &core;
    core.encoder = std::make_unique<WebEncoder>(core.options.imageWidth, core.options.jpegQuality,
                                                [shared](std::shared_ptr<const WebUnit> unit) {
        asio::post(shared->io, [shared, unit] {
            for (WebViewer* viewer : shared->imageViewers) viewer->offer(unit);
        });
    });
    acceptWebConnections(core);
    core.ioThread = std::thread([shared] {
        pthread_setname_np(pthread_self(), "qm-web-io");
        for (;;) {
            try {
                shared->io.run();
                return;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "quillmark: the page's server: %s\n", e.what());
            }
        }
    });
    return true;
}

void WebOutput::stop() {
    WebCore& core = *core_;
    if (!core.ioThread.joinable()) return;
    core.encoder.reset();
    core.io.stop();
    core.ioThread.join();
    core.acceptor.reset();
    core.port = 0;
}

int WebOutput::port() const { return core_->port; }

void WebOutput::publishFrame(const PublishedFrame& frame) {
    WebCore* core = core_.get();
    if (!core->ioThread.joinable()) return;
    WebFrame kept{frame.results, frame.stamp, frame.width, frame.height, frame.bodiesTracked, frame.bodies,
                  frame.worldFrame, jsonWorldPoseOf(frame.camera), frame.lens};
    auto copy = std::make_shared<const WebFrame>(std::move(kept));
    asio::post(core->io, [core, copy] { core->frameArrived(copy); });
    if (core->imageViewerCount == 0 || frame.image.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now + kImageSlack < core->nextImage) return;
    core->nextImage = std::max(core->nextImage, now - kImageSlack) + std::chrono::milliseconds(WEB_IMAGE_INTERVAL_MS);
    core->encoder->offer(frame.image.clone(), copy);
}

uint64_t WebOutput::imagesEncoded() const { return core_->encoder ? core_->encoder->encoded.load() : 0; }

double WebOutput::encodeSeconds() const {
    return core_->encoder ? core_->encoder->threadNanoseconds.load() * 1e-9 : 0.0;
}
