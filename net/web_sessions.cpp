// The connections of the page's server, all on its one I/O thread: plain
// HTTP requests, and the two WebSocket feeds they may turn into.
#include <cstdio>
#include <optional>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include "web_core.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using beast::error_code;

namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(WEB_IDLE_TIMEOUT_S);
// What a viewer may send: nothing but control frames is expected.
constexpr std::size_t kViewerMessageMax = 4096;
// The system's send buffer for a feed: small, so that a viewer that stops
// reading holds few old frames, and the newest waits in the session.
constexpr int kFeedSendBuffer = 16 * 1024;
constexpr int kImageSendBuffer = 64 * 1024;

// Counts a connection for its cap and its address's share while it lives.
class Counted {
public:
    Counted(int& total, std::map<std::string, int>& byAddress, std::string address)
        : total_(total), byAddress_(byAddress), address_(std::move(address)) {
        ++total_;
        ++byAddress_[address_];
    }
    ~Counted() {
        --total_;
        if (--byAddress_[address_] <= 0) byAddress_.erase(address_);
    }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

private:
    int& total_;
    std::map<std::string, int>& byAddress_;
    const std::string address_;
};

std::string addressOf(const tcp::socket& socket) {
    error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec) return {};
    auto address = remote.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address.to_string();
}

class FeedSession : public WebViewer, public std::enable_shared_from_this<FeedSession> {
public:
    FeedSession(WebCore& core, tcp::socket socket, bool image, const std::string& address)
        : core_(core), counted_(core.viewers, core.viewersFrom, address), ws_(std::move(socket)), image_(image) {}
    ~FeedSession() override {
        if (registered_) core_.removeViewer(this);
    }

    void start(http::request<http::empty_body> request) {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(
            asio::socket_base::send_buffer_size(image_ ? kImageSendBuffer : kFeedSendBuffer), ignored);
        beast::get_lowest_layer(ws_).expires_never();
        // A viewer that answers no ping for the idle time is gone; a browser
        // answers them by itself.
        websocket::stream_base::timeout timeout{kIdleTimeout, kIdleTimeout, true};
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "quillmark"); }));
        ws_.read_message_max(kViewerMessageMax);
        ws_.async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
    }

    void offer(std::shared_ptr<const WebUnit> unit) override {
        if (writing_) {
            pending_ = std::move(unit);
            return;
        }
        writing_ = true;
        current_ = std::move(unit);
        index_ = 0;
        writeNext();
    }

    std::chrono::steady_clock::time_point lastActivity() const override { return lastActivity_; }
    void close() override {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).cancel();
    }

private:
    void accepted(error_code ec) {
        if (ec) return;
        registered_ = true;
        core_.addViewer(this, image_);
        readNext();
    }

    // Reading keeps pings, pongs and the closing handshake going.
    void readNext() {
        ws_.async_read(incoming_, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) return self->ended();
            self->incoming_.clear();
            self->readNext();
        });
    }

    void writeNext() {
        const WebMessage& message = (*current_)[index_];
        ws_.binary(message.second);
        ws_.async_write(asio::buffer(message.first), [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) return self->ended();
            if (++self->index_ < self->current_->size()) return self->writeNext();
            self->writing_ = false;
            self->lastActivity_ = std::chrono::steady_clock::now();
            self->current_.reset();
            if (self->pending_) self->offer(std::move(self->pending_));
        });
    }

    void ended() {
        if (registered_) core_.removeViewer(this);
        registered_ = false;
        pending_.reset();
        writing_ = true;  // nothing more is written
    }

    WebCore& core_;
    Counted counted_;
    websocket::stream<beast::tcp_stream> ws_;
    const bool image_;
    bool registered_ = false;
    bool writing_ = false;
    std::shared_ptr<const WebUnit> current_, pending_;
    std::size_t index_ = 0;
    beast::flat_buffer incoming_;
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(WebCore& core, tcp::socket socket, std::string address)
        : core_(core), address_(std::move(address)), counted_(core.connections, core.connectionsFrom, address_),
          stream_(std::move(socket)), buffer_(WEB_HEADER_LIMIT + 1024) {}

    void readNext() {
        parser_.emplace();
        parser_->header_limit(WEB_HEADER_LIMIT);
        stream_.expires_after(kIdleTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->received(ec); });
    }

private:
    void received(error_code ec) {
        if (ec == http::error::end_of_stream) return closeWrite();
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
            return answer(431, "Request header fields too large\n", true);
        if (ec && ec.category() == http::make_error_code(http::error::bad_target).category())
            return answer(400, "Bad request\n", true);
        if (ec) return;  // timed out or reset: the connection just ends
        const auto& request = parser_->get();
        if (!allowed(request)) return;
        const std::string target(request.target());
        bool image = false;
        if (websocket::is_upgrade(request) && WebCore::isFeed(target, image)) {
            const auto mine = core_.viewersFrom.find(address_);
            if (mine != core_.viewersFrom.end() && mine->second >= WEB_MAX_VIEWERS_PER_ADDRESS)
                return answer(503, "Too many feeds from your address\n", true);
            if (core_.viewers >= WEB_MAX_VIEWERS) evictOldestViewer();
            auto feed = std::make_shared<FeedSession>(core_, stream_.release_socket(), image, address_);
            feed->start(parser_->release());
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head)
            return answer(405, "Only GET and HEAD are served\n", !request.keep_alive());
        if (WebCore::isFeed(target, image)) return answer(426, "This is a WebSocket feed\n", !request.keep_alive());
        respond(core_.route(target), request.method() == http::verb::head, !request.keep_alive(),
                request.version());
    }

    // Every request names the page's own address as its Host, and as its
    // Origin when it sends one; a refusal is answered 403 and counted.
    bool allowed(const http::request<http::empty_body>& request) {
        auto header = [&request](http::field field) -> std::optional<std::string> {
            const auto found = request.find(field);
            if (found == request.end()) return std::nullopt;
            return std::string(found->value());
        };
        const auto host = header(http::field::host), origin = header(http::field::origin);
        const std::string why = core_.guard.refusal(host ? &*host : nullptr, origin ? &*origin : nullptr);
        if (why.empty()) return true;
        if (core_.refusedRequests++ == 0)
            std::fprintf(stderr, "quillmark: the page refused a request (later ones are counted in /api/status): %s",
                         why.c_str() + std::string("Forbidden: ").size());
        answer(403, why, true);
        return false;
    }

    void evictOldestViewer() {
        WebViewer* oldest = nullptr;
        for (const auto* viewers : {&core_.feedViewers, &core_.imageViewers}) {
            for (WebViewer* viewer : *viewers) {
                if (!oldest || viewer->lastActivity() < oldest->lastActivity()) oldest = viewer;
            }
        }
        if (oldest) oldest->close();
    }

    void answer(int status, const std::string& text, bool close) {
        respond({status, "text/plain; charset=utf-8", text, false}, false, close, 11);
    }

    void respond(const WebResponse& made, bool headOnly, bool close, unsigned version) {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(made.status), version);
        response->set(http::field::server, "quillmark");
        response->set(http::field::content_type, made.contentType);
        response->set(http::field::cache_control, made.cache ? "max-age=60" : "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("Content-Security-Policy",
                      "default-src 'self'; img-src 'self' blob:; connect-src 'self'; frame-ancestors 'none'");
        if (made.status == 405) response->set(http::field::allow, "GET, HEAD");
        if (made.status == 426) response->set(http::field::upgrade, "websocket");
        response->body() = made.body;
        response->prepare_payload();
        if (headOnly) response->body().clear();
        response->keep_alive(!close);
        stream_.expires_after(kIdleTimeout);
        http::async_write(stream_, *response, [self = shared_from_this(), response, close](error_code ec, std::size_t) {
            if (ec) return;
            if (close) return self->closeWrite();
            self->readNext();
        });
    }

    void closeWrite() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    WebCore& core_;
    const std::string address_;
    Counted counted_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
};

void acceptNext(WebCore& core, const std::shared_ptr<asio::steady_timer>& backOff) {
    core.acceptor->async_accept([&core, backOff](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, say: try again shortly instead of spinning.
            backOff->expires_after(std::chrono::milliseconds(100));
            backOff->async_wait([&core, backOff](error_code waited) {
                if (!waited) acceptNext(core, backOff);
            });
            return;
        }
        // Past the limit a connection is closed at once: tracking and the
        // viewers already there are worth more than one more page.
        const std::string address = addressOf(socket);
        const auto mine = core.connectionsFrom.find(address);
        const bool addressFull = mine != core.connectionsFrom.end() && mine->second >= WEB_MAX_CONNECTIONS_PER_ADDRESS;
        if (core.connections < WEB_MAX_CONNECTIONS && !addressFull) {
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<HttpSession>(core, std::move(socket), address)->readNext();
        }
        acceptNext(core, backOff);
    });
}

} // namespace

void acceptWebConnections(WebCore& core) { acceptNext(core, std::make_shared<asio::steady_timer>(core.io)); }
