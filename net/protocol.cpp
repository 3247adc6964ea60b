#include "protocol.h"
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include "body_report.h"
#include "server_state.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The next white-space delimited word from `pos` on (empty when none);
// `pos` ends just after it.
std::string nextWord(const std::string& line, std::size_t& pos) {
    while (pos < line.size() && isBlank(line[pos])) ++pos;
    const std::size_t begin = pos;
    while (pos < line.size() && !isBlank(line[pos])) ++pos;
    return line.substr(begin, pos - begin);
}

const char* const HelpTexts[] = {
    "<<< COMMAND LIST >>>\n",
    "all        Get all marker information.\n",
    "get <name> Get marker information having specified name.\n",
    "help       Show command list.\n",
    "exit       Dissconnect this connection.\n",
    "quit       Dissconnect this connection.\n",
    "\n",
};

// Listed before the closing empty line while a run tracks bodies.
const char* const BodyHelpTexts[] = {
    "bodies     Get all rigid body poses.\n",
    "body <name> Get the pose of the rigid body having specified name.\n",
    "camera     Get the camera pose in the world.\n",
};

// The body commands' replies, built under the table's lock and sent after it.
bool sendBodyReply(const std::string& word, const std::string& name, ReplySink& connection) {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        if (word == "bodies") text = bodiesReportText(LatestBodies);
        else if (word == "body") text = namedBodyReportText(LatestBodies, name);
        else text = cameraReportText(LatestCamera);
    }
    return connection.send(text);
}

std::atomic<uint64_t> FramesSkipped{0};
std::atomic<uint64_t> ClientsDropped{0};
std::atomic<uint64_t> IdleClientsClosed{0};
std::atomic<int> CommandIdleTimeoutS{COMMAND_IDLE_TIMEOUT_DEFAULT_S};

// The replies of one pass, sent together when it ends: one write instead
// of one for every reply and help line.
class PassReplies : public ReplySink {
public:
    explicit PassReplies(Network& connection) : connection_(connection) {}
    bool send(const std::string& text) override {
        text_ += text;
        return true;
    }
    void flush() {
        if (!text_.empty()) connection_.send(text_);
        text_.clear();
    }

private:
    Network& connection_;
    std::string text_;
};

// One Command-Mode pass: a chunk read when none waits, then at most
// COMMAND_LINES_PER_PASS of its lines answered. False when the connection
// is to end.
bool answerCommands(Network& connection, DataFormat format, int idleTimeoutS, std::deque<std::string>& waiting) {
    if (waiting.empty()) {
        bool idle = false;
        const std::string text = connection.receiveWithin(idleTimeoutS * 1000, idle);
        if (idle) {
            IdleClientsClosed.fetch_add(1, std::memory_order_relaxed);
            std::printf("Client closed: sent nothing for %d s\n", idleTimeoutS);
            std::fflush(stdout);
        }
        if (text.empty()) return false;
        for (std::string& line : splitChunk(text)) waiting.push_back(std::move(line));
    }
    PassReplies replies(connection);
    for (int k = 0; k < COMMAND_LINES_PER_PASS && !waiting.empty(); ++k) {
        const std::string line = std::move(waiting.front());
        waiting.pop_front();
        if (interpretCommand(line, replies, format) < 0) {
            replies.flush();
            return false;
        }
    }
    replies.flush();
    return true;
}

using Clock = std::chrono::steady_clock;

// What one Automatic-Mode connection knows of its client's pace.
struct Lag {
    Clock::time_point lastProgress = Clock::now();
    std::size_t lastUnsent = 0;
    uint64_t skipped = 0;
};

void logDrop(const Lag& lag) {
    ClientsDropped.fetch_add(1, std::memory_order_relaxed);
    std::printf("Client dropped: took nothing for %d ms, %llu frames skipped\n", LAGGING_CLIENT_TIMEOUT_MS,
                static_cast<unsigned long long>(lag.skipped));
    std::fflush(stdout);
}

// One Automatic-Mode pass: the latest report, or nothing while the previous
// one still waits to leave. False when the client is to be dropped.
bool pushLatestReport(Network& connection, DataFormat format, Lag& lag) {
    const auto now = Clock::now();
    const std::size_t unsent = connection.unsentBytes();
    if (unsent < lag.lastUnsent || unsent == 0) lag.lastProgress = now;
    lag.lastUnsent = unsent;
    if (unsent == 0) {
        if (sendAllReport(connection, format)) return true;
        // A client that closed is gone without a word; one that stalled a
        // send for the whole timeout was dropped.
        if (connection.unsentBytes() > 0) logDrop(lag);
        return false;
    }
    ++lag.skipped;
    FramesSkipped.fetch_add(1, std::memory_order_relaxed);
    if (now - lag.lastProgress < std::chrono::milliseconds(LAGGING_CLIENT_TIMEOUT_MS)) return true;
    logDrop(lag);
    return false;
}

}  // namespace

uint64_t framesSkippedForSlowClients() { return FramesSkipped.load(std::memory_order_relaxed); }

uint64_t slowClientsDropped() { return ClientsDropped.load(std::memory_order_relaxed); }

uint64_t idleClientsClosed() { return IdleClientsClosed.load(std::memory_order_relaxed); }

void setCommandIdleTimeout(int seconds) { CommandIdleTimeoutS = seconds; }

int commandIdleTimeout() { return CommandIdleTimeoutS; }

bool sendAllReport(ReplySink& connection, DataFormat format) {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        text = allReportText(LatestResults, format, LatestStamp);
    }
    return connection.send(text);
}

bool sendNamedReport(const std::string& name, ReplySink& connection, DataFormat format) {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        text = namedReportText(LatestResults, name, format, LatestStamp);
    }
    return connection.send(text);
}

int interpretCommand(const std::string& line, ReplySink& connection, DataFormat format) {
    std::size_t pos = 0;
    const std::string word = nextWord(line, pos);
    if (word == "get") {
        sendNamedReport(nextWord(line, pos), connection, format);
        return 0;
    }
    if (word == "all") {
        sendAllReport(connection, format);
        return 0;
    }
    if (word == "help") {
        const bool bodies = BodiesServed.load();
        for (const char* text : HelpTexts) {
            if (bodies && text[0] == '\n')
                for (const char* bodyText : BodyHelpTexts) connection.send(bodyText);
            connection.send(text);
        }
        return 0;
    }
    if (BodiesServed.load() && (word == "bodies" || word == "body" || word == "camera")) {
        sendBodyReply(word, word == "body" ? nextWord(line, pos) : std::string(), connection);
        return 0;
    }
    if (word == "quit" || word == "exit") {
        connection.send("*ok\n");
        return -1;
    }
    connection.send("*error\n");
    return 0;
}

std::vector<std::string> splitChunk(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

void serveClient(Network& connection) {
    const bool automatic = AutomaticModeFlag.load();
    const DataFormat format = activeDataFormat();
    const int idleTimeoutS = commandIdleTimeout();
    std::deque<std::string> waiting;  // lines of the last chunk not answered yet
    Lag lag;
    if (automatic) connection.sendWithoutDelay();
    auto lastPass = std::chrono::steady_clock::now();
    for (;;) {
        // Sleeping out the pass keeps hundreds of idle connections off the
        // processor; the pace a client sees is the same as polling a clock.
        std::this_thread::sleep_until(lastPass + std::chrono::milliseconds(PASS_INTERVAL_MS));
        lastPass = std::chrono::steady_clock::now();
        if (!serverActive()) return;
        if (automatic) {
            // The client is never read in this mode, so a failed send or a
            // queue that does not move are the only signs that it has gone.
            if (!pushLatestReport(connection, format, lag)) return;
            continue;
        }
        if (!answerCommands(connection, format, idleTimeoutS, waiting)) return;
    }
}
