#pragma once
// The operator's page and the browser feed, served by the tracker itself
// over HTTP and WebSocket on one port:
//   /                 the page (HTML, script and style are built in)
//   /ws               one JSON text message per processed frame
//   /ws/image         at most 10 frames a second: the frame's JSON, then
//                     its JPEG as a binary message (only while watched)
//   /api/markers      the latest frame's JSON
//   /api/status       camera, rates, outputs, uptime
//   /api/catalogue    the catalogue; /thumbnail/N.jpg its pictures
// Everything is read-only; any other path is 404 and nothing is ever read
// from disk while serving. One I/O thread serves every connection and one
// thread encodes the JPEG, so tracking never waits for a viewer: each
// viewer holds at most one unsent frame, and a newer frame replaces it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "json.h"
#include "tracking_worker.h"

// The page's plain requests and its feeds have caps of their own, and one
// address may hold only a share of each: a crowd of viewers cannot keep
// the page from loading, nor one machine the feeds from others.
constexpr int WEB_MAX_CONNECTIONS = 32;
constexpr int WEB_MAX_VIEWERS = 32;
constexpr int WEB_MAX_CONNECTIONS_PER_ADDRESS = 8;
constexpr int WEB_MAX_VIEWERS_PER_ADDRESS = 8;
constexpr int WEB_IDLE_TIMEOUT_S = 10;
// A request line and its headers together, in bytes.
constexpr std::size_t WEB_HEADER_LIMIT = 8192;
constexpr int WEB_IMAGE_INTERVAL_MS = 100;

struct WebOptions {
    std::string host = "127.0.0.1";  // the page is private unless a host is given
    int port = -1;                   // -1: off; 0: a free port the system picks
    int imageWidth = 640;            // the page's image, scaled down to at most this width
    int jpegQuality = 75;            // 1 to 100
    // --http-allow: "HOST" or "HOST:PORT" that requests may name besides
    // the page's own address (a reverse proxy's name, say).
    std::vector<std::string> allowedHosts;

    bool on() const { return port >= 0; }
};

// Reads "[HOST:]PORT" (an IPv6 host in brackets). False with the reason,
// prefixed by `option`, in `error`.
bool parseWebAddress(const std::string& text, const std::string& option, WebOptions& options, std::string& error);
// Reads "WIDTH[,QUALITY]" for the page's image: a width from 16 to 4096
// pixels and a JPEG quality from 1 to 100.
bool parseWebImage(const std::string& text, const std::string& option, WebOptions& options, std::string& error);

// What the page shows of the rest of the process; asked on the I/O thread.
struct WebStatus {
    std::string camera;   // source name
    int tcpClients = 0;
    std::string tuio;     // "off", or where it sends and how it fares
    std::string mqtt;
    uint64_t droppedForSlowClients = 0;
    // A fusion node's camera nodes, for the page's table of them.
    bool fusion = false;
    std::vector<JsonNodeRow> nodes;
};

// One catalogue row as the page lists it.
struct WebCatalogueEntry {
    std::string name;
    double widthMm = 0;
    bool inUse = false;
    std::vector<unsigned char> thumbnailJpeg;  // empty: none
};

struct WebCore;

class WebOutput : public FrameOutput {
public:
    using StatusSource = std::function<WebStatus()>;

    WebOutput(const WebOptions& options, std::vector<WebCatalogueEntry> catalogue, StatusSource status);
    ~WebOutput() override;

    // Binds and starts serving. False with the reason (the address and the
    // system's words) in `error`; nothing runs then.
    bool start(std::string& error);
    void stop();
    int port() const;

    void publishFrame(const PublishedFrame& frame) override;

    // For benchmarks: images encoded and the encoder's thread time.
    uint64_t imagesEncoded() const;
    double encodeSeconds() const;

private:
    std::unique_ptr<WebCore> core_;
};
