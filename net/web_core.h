#pragma once
// The shared state behind WebOutput, between its parts: the routes and the
// frames (web_output.cpp), the connections (web_sessions.cpp) and the
// encoder (web_image.cpp). Members marked "I/O thread" are touched only
// there, so they need no lock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include "json.h"
#include "web_guard.h"
#include "web_output.h"

// One frame without its picture, shared by every reader.
struct WebFrame {
    ResultTable results;
    FrameStamp stamp;
    int width = 0;
    int height = 0;
    // While bodies are tracked, and the camera's pose while a world frame is set.
    bool bodiesTracked = false;
    BodyTable bodies{};
    bool worldFrame = false;
    JsonWorldPose camera{};
    CameraParam lens{};
};

// The frame as its JSON is written (net/json.h).
JsonFrame jsonFrameOf(const WebFrame& frame);

// What a viewer receives for one frame: one or two WebSocket messages
// (text, or binary when `second` is true), written in order.
using WebMessage = std::pair<std::string, bool>;
using WebUnit = std::vector<WebMessage>;

// A WebSocket connection as the frames see it.
class WebViewer {
public:
    virtual ~WebViewer() = default;
    // Replaces whatever this viewer has not started to write yet.
    virtual void offer(std::shared_ptr<const WebUnit> unit) = 0;
    // When it last took a whole frame (or connected): the oldest goes
    // first when the feeds are full.
    virtual std::chrono::steady_clock::time_point lastActivity() const = 0;
    virtual void close() = 0;
};

// A small HTTP answer, made without any I/O.
struct WebResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    bool cache = false;  // the built-in page and pictures may be cached
};

// Encodes the latest offered picture on its own thread; older offers that
// were not started are replaced.
class WebEncoder {
public:
    using Done = std::function<void(std::shared_ptr<const WebUnit>)>;
    WebEncoder(int imageWidth, int jpegQuality, Done done);
    ~WebEncoder();
    void offer(cv::Mat bgr, std::shared_ptr<const WebFrame> frame);

    std::atomic<uint64_t> encoded{0};
    std::atomic<int64_t> threadNanoseconds{0};

private:
    void run();

    const int imageWidth_, jpegQuality_;
    Done done_;
    std::mutex lock_;
    std::condition_variable wake_;
    cv::Mat image_;
    std::shared_ptr<const WebFrame> frame_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once everything above exists
};

struct WebCore {
    WebCore(const WebOptions& options, std::vector<WebCatalogueEntry> catalogue, WebOutput::StatusSource status)
        : options(options), catalogue(std::move(catalogue)), status(std::move(status)),
          guard(options.host, options.allowedHosts) {}

    // The answer to a GET or HEAD of `target` (query included).
    WebResponse route(const std::string& target) const;
    // Whether `target` is one of the two feeds, and which.
    static bool isFeed(const std::string& target, bool& image);

    // I/O thread: a frame arrived from the tracker.
    void frameArrived(std::shared_ptr<const WebFrame> frame);
    void addViewer(WebViewer* viewer, bool image);
    void removeViewer(WebViewer* viewer);

    const WebOptions options;
    const std::vector<WebCatalogueEntry> catalogue;
    const WebOutput::StatusSource status;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // Its port is set once bound, before the I/O thread starts.
    WebHostGuard guard;

    // I/O thread.
    int connections = 0;  // plain HTTP
    int viewers = 0;      // WebSocket feeds, handshakes included
    std::map<std::string, int> connectionsFrom, viewersFrom;  // by the client's address
    int refusedRequests = 0;  // for a foreign Host or Origin; the first is said
    std::set<WebViewer*> feedViewers, imageViewers;
    std::shared_ptr<const WebFrame> latest;
    std::deque<double> recentCaptureTimes;  // for the frame rate

    // Tracking thread (and the I/O thread for the count).
    std::atomic<int> imageViewerCount{0};
    std::chrono::steady_clock::time_point nextImage;  // when the next picture is due
    std::unique_ptr<WebEncoder> encoder;

    // After everything the connections touch: destroying the context
    // destroys the connections still waiting in it, and they unregister.
    // Handlers hold a plain pointer to the core, which outlives them.
    boost::asio::io_context io;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
    std::thread ioThread;
    std::atomic<int> port{0};

private:
    JsonStatus statusRecord() const;
    std::vector<JsonCatalogueRow> catalogueRows() const;
};

// Starts accepting on core.acceptor (web_sessions.cpp).
void acceptWebConnections(WebCore& core);

// The built-in page (web_page.cpp, made from net/web/ at build time).
extern const char* const WEB_PAGE_HTML;
extern const char* const WEB_PAGE_SCRIPT;
extern const char* const WEB_PAGE_STYLE;
