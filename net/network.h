#pragma once
// The TCP side of the system: a blocking server with one thread per
// connection. The listening Network accepts; every accepted connection gets
// a Network of its own, owned by its thread, that the handler talks through.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Where a reply goes: a client's connection, or a test's buffer.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    // True when every byte was delivered.
    virtual bool send(const std::string& text) = 0;
};

class Network;
// Runs on a connection's own thread; the connection closes when it returns.
using ConnectionHandler = void (*)(Network& connection);

class Network : public ReplySink {
public:
    // A send that cannot hand a single byte to the system for this long gives
    // the connection up, so a client that stopped reading costs nothing more.
    static constexpr int SEND_STALL_TIMEOUT_MS = 3000;
    static constexpr std::size_t RECEIVE_MAX_BYTES = 2048;
    // After an accept that failed for want of descriptors, memory or a
    // thread, the server waits this long before it accepts again: the
    // queue of waiting clients stays, and the loop does not spin.
    static constexpr int ACCEPT_RETRY_PAUSE_MS = 100;

    Network();
    ~Network() override;
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // Listens on all IPv4 interfaces (port 0: the system picks one) and
    // serves each connection with `handler` on a detached thread; every
    // connection costs one descriptor and one thread. No failed accept
    // ends the serving (the first of a run of them is said on standard
    // error, with the next success). Throws
    // boost::system::system_error when the port cannot be bound or the
    // server already runs; nothing is started then.
    void start(int port, ConnectionHandler handler);
    // Stops accepting and frees the port once the accept thread has ended.
    // Open connections are left to end by themselves.
    void stop();
    // The port listened on, 0 when idle. Safe from any thread, also while
    // another starts or stops the server.
    int port() const;

    // Writes all of `text`; false on any error or a stall, after which the
    // connection is shut down so its next receive ends it.
    bool send(const std::string& text) override;
    // One read of up to RECEIVE_MAX_BYTES; empty on error or end of stream,
    // whose description goes to standard output.
    std::string receive();
    // As receive(), but gives up when nothing arrives for `timeoutMs`
    // (0: waits forever) and says so in `timedOut`.
    std::string receiveWithin(int timeoutMs, bool& timedOut);

    // For a connection that is pushed frames: each send leaves at once
    // instead of waiting to be joined with the next.
    void sendWithoutDelay();
    // Bytes written that the system has not yet put on the wire (the
    // client's window is closed, or the link is full): a lagging client.
    std::size_t unsentBytes() const;

    // Connections whose thread has not finished yet, over all servers.
    static int liveConnections();
    // Connections accepted since the process began, over all servers.
    static int connectionsServed();
    // Waits until at most `count` connections live; false on timeout.
    static bool waitForLiveConnections(int count, int timeoutMs);

private:
    using Socket = boost::asio::ip::tcp::socket;

    using Context = std::shared_ptr<boost::asio::io_context>;

    Network(Context io, std::unique_ptr<Socket> socket);
    void acceptLoop(ConnectionHandler handler);
    // False when stop() came during the pause.
    bool pauseAccepting();
    // Owns everything the connection uses, so it outlives the listening
    // Network without harm.
    static void clientThread(Context io, std::unique_ptr<Socket> socket, ConnectionHandler handler);
    void abandon();

    // One context for every Network of the process: a context costs
    // descriptors of its own (its reactor's), which a context per
    // connection would multiply. It is never run; sockets only need it.
    Context io_;
    // Listening object: the socket the pending accept fills. Client
    // object: the connection.
    std::unique_ptr<Socket> socket_;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
    std::thread acceptThread_;
    // stop() wakes an accept thread that pauses after a failed accept.
    std::mutex stopLock_;
    std::condition_variable stopWake_;
    bool stopping_ = false;
    // Written by start and stop only; port() reads it instead of the
    // acceptor, which those replace under other threads' feet.
    std::atomic<int> listeningPort_{0};
};
