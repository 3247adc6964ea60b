#include "network.h"
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <utility>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace {

// Counts connection threads. Never destroyed: a detached connection thread
// may still be finishing while the process exits.
struct LiveConnections {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    int started = 0;
};

LiveConnections& live() {
    static LiveConnections* const state = new LiveConnections;
    return *state;
}

void connectionStarted() {
    std::lock_guard<std::mutex> hold(live().lock);
    ++live().count;
    ++live().started;
}

void connectionEnded() {
    std::lock_guard<std::mutex> hold(live().lock);
    --live().count;
    live().changed.notify_all();
}

// Never destroyed with the statics: detached connections keep their own
// reference, and may still be closing while the process exits.
std::shared_ptr<boost::asio::io_context> processContext() {
    static auto* const context = new std::shared_ptr<boost::asio::io_context>(
        std::make_shared<boost::asio::io_context>());
    return *context;
}

}  // namespace

Network::Network() : io_(processContext()) {}

Network::Network(Context io, std::unique_ptr<Socket> socket) : io_(std::move(io)), socket_(std::move(socket)) {}

Network::~Network() {
    try {
        stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "closing the server: %s\n", e.what());
    }
    // A socket must go before the I/O context it was made on.
    if (socket_) {
        boost::system::error_code ignored;
        socket_->close(ignored);
        socket_.reset();
    }
    io_.reset();
}

void Network::start(int port, ConnectionHandler handler) {
    using boost::asio::ip::tcp;
    if (acceptor_) throw boost::system::system_error(boost::asio::error::already_open);
    auto acceptor = std::make_unique<tcp::acceptor>(*io_);
    const tcp::endpoint endpoint(tcp::v4(), static_cast<unsigned short>(port & 0xFFFF));
    boost::system::error_code ec;
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(boost::asio::socket_base::max_listen_connections, ec);
    tcp::endpoint bound;
    if (!ec) bound = acceptor->local_endpoint(ec);
    if (ec) throw boost::system::system_error(ec);
    acceptor_ = std::move(acceptor);
    listeningPort_ = bound.port();
    stopping_ = false;
    try {
        acceptThread_ = std::thread(&Network::acceptLoop, this, handler);
    } catch (...) {
        listeningPort_ = 0;
        acceptor_.reset();
        throw;
    }
}

void Network::stop() {
    if (!acceptor_) return;
    listeningPort_ = 0;
    {
        std::lock_guard<std::mutex> hold(stopLock_);
        stopping_ = true;
    }
    stopWake_.notify_all();
    // Closing a descriptor does not wake a thread blocked in accept() on it
    // (and would let the number be reused under that thread); shutting the
    // listening socket down makes the pending accept fail at once. Only
    // after the thread has gone are the acceptor and its pending socket
    // released.
    ::shutdown(acceptor_->native_handle(), SHUT_RDWR);
    if (acceptThread_.joinable()) acceptThread_.join();
    boost::system::error_code ec;
    acceptor_->close(ec);
    acceptor_.reset();
    socket_.reset();
    if (ec) throw boost::system::system_error(ec);
}

int Network::port() const { return listeningPort_; }

bool Network::pauseAccepting() {
    std::unique_lock<std::mutex> hold(stopLock_);
    return !stopWake_.wait_for(hold, std::chrono::milliseconds(ACCEPT_RETRY_PAUSE_MS), [this] { return stopping_; });
}

void Network::acceptLoop(ConnectionHandler handler) {
    // What the last failure was, so a run of them is said once.
    std::string failing;
    auto failed = [&](const std::string& what) {
        if (failing.empty())
            std::fprintf(stderr, "quillmark: the server cannot take a connection (%s); it tries again every %d ms\n",
                         what.c_str(), ACCEPT_RETRY_PAUSE_MS);
        failing = what;
    };
    for (;;) {
        boost::system::error_code ec;
        try {
            socket_ = std::make_unique<Socket>(*io_);
            acceptor_->accept(*socket_, ec);
        } catch (const std::exception& e) {
            ec = boost::asio::error::no_memory;
        }
        {
            std::lock_guard<std::mutex> hold(stopLock_);
            if (stopping_) return;
        }
        // A client that gave up while queued is no fault of the server's.
        if (ec == boost::asio::error::connection_aborted || ec == boost::asio::error::interrupted) continue;
        if (ec) {
            failed(ec.message());
            if (!pauseAccepting()) return;
            continue;
        }
        connectionStarted();
        try {
            std::thread(&Network::clientThread, io_, std::move(socket_), handler).detach();
        } catch (const std::exception& e) {
            // The socket closes unserved; the client sees its connection end.
            connectionEnded();
            socket_.reset();
            failed(std::string("no thread for it: ") + e.what());
            if (!pauseAccepting()) return;
            continue;
        }
        if (!failing.empty()) {
            std::fprintf(stderr, "quillmark: the server takes connections again\n");
            failing.clear();
        }
    }
}

void Network::clientThread(Context io, std::unique_ptr<Socket> socket, ConnectionHandler handler) {
    {
        Network connection(std::move(io), std::move(socket));
        try {
            handler(connection);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "connection ended: %s\n", e.what());
        }
    }
    connectionEnded();
}

bool Network::send(const std::string& text) {
    if (!socket_ || !socket_->is_open()) return false;
    const int fd = socket_->native_handle();
    std::size_t done = 0;
    while (done < text.size()) {
        // MSG_NOSIGNAL: a vanished client must fail this send, not kill the process.
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{fd, POLLOUT, 0};
            const int r = ::poll(&ready, 1, SEND_STALL_TIMEOUT_MS);
            if (r > 0 || (r < 0 && errno == EINTR)) continue;
        }
        abandon();
        return false;
    }
    return true;
}

void Network::abandon() {
    boost::system::error_code ignored;
    socket_->shutdown(Socket::shutdown_both, ignored);
}

std::string Network::receive() {
    bool timedOut = false;
    return receiveWithin(0, timedOut);
}

std::string Network::receiveWithin(int timeoutMs, bool& timedOut) {
    timedOut = false;
    if (!socket_) return {};
    if (timeoutMs > 0) {
        pollfd ready{socket_->native_handle(), POLLIN, 0};
        int r;
        do {
            r = ::poll(&ready, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            timedOut = true;
            return {};
        }
    }
    char buffer[RECEIVE_MAX_BYTES];
    boost::system::error_code ec;
    const std::size_t n = socket_->read_some(boost::asio::buffer(buffer), ec);
    if (ec) {
        std::printf("%s\n", ec.message().c_str());
        return {};
    }
    return std::string(buffer, n);
}

void Network::sendWithoutDelay() {
    if (!socket_) return;
    const int on = 1;
    ::setsockopt(socket_->native_handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::size_t Network::unsentBytes() const {
    int unsent = 0;
    if (!socket_ || ::ioctl(socket_->native_handle(), SIOCOUTQNSD, &unsent) != 0 || unsent < 0) return 0;
    return static_cast<std::size_t>(unsent);
}

int Network::liveConnections() {
    std::lock_guard<std::mutex> hold(live().lock);
    return live().count;
}

int Network::connectionsServed() {
    std::lock_guard<std::mutex> hold(live().lock);
    return live().started;
}

bool Network::waitForLiveConnections(int count, int timeoutMs) {
    std::unique_lock<std::mutex> hold(live().lock);
    return live().changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                   [&] { return live().count <= count; });
}
