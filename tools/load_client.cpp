// Many TCP clients of a quillmark server at once, in one thread (epoll), for
// load and soak runs (scripts/soak.sh).
//   load_client steady --automatic PORT --command PORT --clients N --seconds S
//       N/2 clients stay connected to each server: Automatic-Mode clients
//       read every report, Command-Mode clients ask "all" again as soon as
//       a report is whole. Prints the reports delivered per second.
//   load_client churn --automatic PORT --command PORT --clients N --seconds S [--seed K]
//       N clients at a time connect, do one of the things a careless client
//       does, and vanish: read a few reports and close, close mid-report,
//       ask and never read, hold the connection without reading, send
//       garbage. Prints what was done and how it went.
// Exits 1 when a server refused or dropped connections it should have served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode;
    int automaticPort = 0;
    int commandPort = 0;
    int clients = 1000;
    double seconds = 10.0;
    unsigned seed = 1;
};

// What a client does before it goes.
enum class Plan {
    Stay,           // steady: read reports for the whole run
    ReadSomeThenGo, // read a few whole reports, then close
    GoMidReport,    // close with a report half read
    AskNeverRead,   // command: send "all" lines and close without reading
    HoldNoRead,     // connect and neither read nor close for a while
    Garbage,        // command: send bytes that are no command, read the answers
    SayExit,        // command: "help", then "exit", read to the server's close
};

const char* planName(Plan plan) {
    switch (plan) {
    case Plan::Stay: return "stay";
    case Plan::ReadSomeThenGo: return "read-some-then-go";
    case Plan::GoMidReport: return "go-mid-report";
    case Plan::AskNeverRead: return "ask-never-read";
    case Plan::HoldNoRead: return "hold-no-read";
    case Plan::Garbage: return "garbage";
    case Plan::SayExit: return "say-exit";
    }
    return "?";
}

struct Client {
    int fd = -1;
    bool command = false;
    Plan plan = Plan::Stay;
    bool connected = false;
    std::string pending;       // received bytes not yet parsed into lines
    long linesLeft = -1;       // lines of the current report still to come; -1 between reports
    int reportsWanted = 0;     // ReadSomeThenGo: whole reports before closing
    int reports = 0;
    Clock::time_point deadline; // HoldNoRead and AskNeverRead: when to close
};

struct Tally {
    long reports = 0;
    long connects = 0;
    long connectFailures = 0;
    long droppedEarly = 0; // the server closed on a client that expected more
    std::map<std::string, long> plans;
};

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendText(int fd, const std::string& text) {
    // Best effort: a client that cannot send more is about to go anyway.
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN) return;
}

class LoadRun {
public:
    explicit LoadRun(const Options& options) : options_(options), random_(options.seed) {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
    }
    ~LoadRun() {
        for (auto& entry : clients_) close(entry.first);
        close(epoll_);
    }

    bool run() {
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.seconds));
        for (int i = 0; i < options_.clients; ++i) startClient(i % 2 == 1);
        std::vector<epoll_event> events(256);
        while (Clock::now() < end) {
            const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 50);
            for (int i = 0; i < n; ++i) handle(events[static_cast<size_t>(i)]);
            expireHolds();
            if (options_.mode == "churn") refill();
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        print(elapsed);
        return tally_.connectFailures == 0 && (options_.mode == "churn" || tally_.droppedEarly == 0);
    }

private:
    Plan choosePlan(bool command) {
        if (options_.mode == "steady") return Plan::Stay;
        static const Plan automaticPlans[] = {Plan::ReadSomeThenGo, Plan::GoMidReport, Plan::HoldNoRead};
        static const Plan commandPlans[] = {Plan::ReadSomeThenGo, Plan::GoMidReport, Plan::AskNeverRead,
                                            Plan::HoldNoRead, Plan::Garbage, Plan::SayExit};
        if (command) return commandPlans[random_() % 6];
        return automaticPlans[random_() % 3];
    }

    void startClient(bool command) {
        Client c;
        c.command = command;
        c.plan = choosePlan(command);
        c.fd = connectTo(command ? options_.commandPort : options_.automaticPort);
        if (c.fd < 0) {
            ++tally_.connectFailures;
            return;
        }
        ++tally_.connects;
        ++tally_.plans[std::string(command ? "command " : "automatic ") + planName(c.plan)];
        c.reportsWanted = 1 + static_cast<int>(random_() % 4);
        c.deadline = Clock::now() + std::chrono::milliseconds(500 + random_() % 4500);
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        event.data.fd = c.fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &event);
        clients_[c.fd] = c;
    }

    void finish(Client& c) {
        const int fd = c.fd;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        clients_.erase(fd);
    }

    void onConnected(Client& c) {
        c.connected = true;
        epoll_event event{};
        // A client that never reads is not woken by what arrives.
        const bool reads = c.plan != Plan::AskNeverRead && c.plan != Plan::HoldNoRead;
        event.events = (reads ? EPOLLIN : 0u) | EPOLLRDHUP;
        event.data.fd = c.fd;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
        if (!c.command) return;
        switch (c.plan) {
        case Plan::Stay:
        case Plan::ReadSomeThenGo:
        case Plan::GoMidReport: sendText(c.fd, "all\n"); break;
        case Plan::AskNeverRead: sendText(c.fd, "all\nall\nget Flag\nall\n"); break;
        case Plan::Garbage: sendText(c.fd, std::string("\x01\xff\x00 alll\nGET\r\n\n", 16)); break;
        case Plan::SayExit: sendText(c.fd, "help\nexit\nall\n"); break;
        case Plan::HoldNoRead: break;
        }
    }

    // Parses whole lines; true while the client is to stay.
    bool consumeLines(Client& c) {
        size_t begin = 0;
        for (size_t end; (end = c.pending.find('\n', begin)) != std::string::npos; begin = end + 1) {
            const std::string line = c.pending.substr(begin, end - begin);
            if (c.linesLeft < 0) {
                if (line.compare(0, 5, "Num= ") != 0) continue;  // help text, "*error", "*ok"
                c.linesLeft = std::atol(line.c_str() + 5);
            } else {
                --c.linesLeft;
            }
            if (c.linesLeft == 0) {
                c.linesLeft = -1;
                ++c.reports;
                ++tally_.reports;
                if (c.plan == Plan::ReadSomeThenGo && c.reports >= c.reportsWanted) return false;
                if (c.command && (c.plan == Plan::Stay || c.plan == Plan::ReadSomeThenGo)) sendText(c.fd, "all\n");
            }
        }
        c.pending.erase(0, begin);
        return true;
    }

    void handle(const epoll_event& event) {
        auto found = clients_.find(event.data.fd);
        if (found == clients_.end()) return;
        Client& c = found->second;
        if (!c.connected) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                ++tally_.connectFailures;
                finish(c);
                return;
            }
            onConnected(c);
            return;
        }
        if (!(event.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return;
        char buffer[16384];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (c.plan == Plan::GoMidReport) {
                finish(c);
                return;
            }
            c.pending.append(buffer, static_cast<size_t>(n));
            if (!consumeLines(c)) finish(c);
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // The server closed: expected after "exit" and for garbage-free
        // plans only when the server stops.
        if (c.plan == Plan::Stay || c.plan == Plan::ReadSomeThenGo) ++tally_.droppedEarly;
        finish(c);
    }

    void expireHolds() {
        const auto now = Clock::now();
        std::vector<int> expired;
        for (auto& entry : clients_) {
            const Client& c = entry.second;
            const bool timed = c.plan == Plan::HoldNoRead || c.plan == Plan::AskNeverRead ||
                               c.plan == Plan::Garbage;
            if (timed && c.connected && now >= c.deadline) expired.push_back(entry.first);
        }
        for (int fd : expired) finish(clients_[fd]);
    }

    void refill() {
        int command = 0;
        for (const auto& entry : clients_) command += entry.second.command;
        const int automatic = static_cast<int>(clients_.size()) - command;
        for (int i = command; i < options_.clients / 2; ++i) startClient(true);
        for (int i = automatic; i < options_.clients - options_.clients / 2; ++i) startClient(false);
    }

    void print(double elapsed) const {
        std::printf("%s: %.1f s, %ld connections, %ld connect failures, %ld dropped early\n", options_.mode.c_str(),
                    elapsed, tally_.connects, tally_.connectFailures, tally_.droppedEarly);
        std::printf("reports delivered: %ld, %.0f per second\n", tally_.reports, tally_.reports / elapsed);
        if (options_.mode == "churn") {
            for (const auto& entry : tally_.plans) std::printf("  %-36s %ld\n", entry.first.c_str(), entry.second);
        }
        std::fflush(stdout);
    }

    const Options options_;
    std::mt19937 random_;
    int epoll_ = -1;
    std::map<int, Client> clients_;
    Tally tally_;
};

bool parseOptions(int argc, char** argv, Options& options) {
    if (argc < 2) return false;
    options.mode = argv[1];
    if (options.mode != "steady" && options.mode != "churn") return false;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        char* end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (*end != '\0' || value < 0) return false;
        if (name == "--automatic") options.automaticPort = static_cast<int>(value);
        else if (name == "--command") options.commandPort = static_cast<int>(value);
        else if (name == "--clients") options.clients = static_cast<int>(value);
        else if (name == "--seconds") options.seconds = value;
        else if (name == "--seed") options.seed = static_cast<unsigned>(value);
        else return false;
    }
    return argc % 2 == 0 && options.automaticPort > 0 && options.commandPort > 0 && options.clients > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: load_client steady|churn --automatic PORT --command PORT [--clients N] [--seconds S] "
                     "[--seed K]\n");
        return 2;
    }
    LoadRun run(options);
    return run.run() ? 0 : 1;
}
