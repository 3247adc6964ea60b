#include "protocol.h"
#include <chrono>
#include <mutex>
#include <thread>
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

}  // namespace

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
        for (const char* text : HelpTexts) connection.send(text);
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
    auto lastPass = std::chrono::steady_clock::now();
    for (;;) {
        // Sleeping out the pass keeps hundreds of idle connections off the
        // processor; the pace a client sees is the same as polling a clock.
        std::this_thread::sleep_until(lastPass + std::chrono::milliseconds(PASS_INTERVAL_MS));
        lastPass = std::chrono::steady_clock::now();
        if (!serverActive()) return;
        if (automatic) {
            // The client is never read in this mode, so a failed send is the
            // only sign that it has gone.
            if (!sendAllReport(connection, format)) return;
            continue;
        }
        const std::string text = connection.receive();
        if (text.empty()) return;
        for (const std::string& line : splitChunk(text)) {
            if (interpretCommand(line, connection, format) < 0) return;
        }
    }
}
