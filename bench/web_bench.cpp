// The page and its feeds against the real headless server with the
// synthetic camera (640x480, 30 Hz), each phase 5 s:
//   quiet     one Automatic-Mode TCP client, no viewer
//   picture   the same and one page's picture feed (10 JPEGs a second)
//   crowd     the same and 10 pages (JSON feed + picture feed each) and 10
//             JSON feed clients
//   stall     the crowd, with one JSON client not reading for 2 s
// Printed: the tracking rate (frame numbers the TCP client sees), the TCP
// client's report rate, the server's CPU use, grab-to-WebSocket latency of
// the JSON clients, and what the stalled client gets when it reads again.
// usage: web_bench [QUILLMARK]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr double kPhaseSeconds = 5.0;

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double field(const std::string& json, const char* name) {
    const std::string key = std::string("\"") + name + "\":";
    const std::size_t at = json.find(key);
    return at == std::string::npos ? -1 : std::strtod(json.c_str() + at + key.size(), nullptr);
}

// The server in a scratch folder with a copy of Data/.
class Server {
public:
    explicit Server(const std::string& binary) {
        dir_ = std::filesystem::temp_directory_path() / ("quillmark-web-bench-" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::filesystem::copy(std::filesystem::path(QUILLMARK_SOURCE_DIR) / "Data", dir_ / "Data",
                              std::filesystem::copy_options::recursive);
        int out[2];
        if (pipe(out) != 0) std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
        std::vector<std::string> args{binary, "--headless", "--camera", "synthetic", "--port", "0", "--http", "0",
                                      "--mode", "automatic", "--fields", "name,pos2d,cf,stamp"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) std::exit(1);
        ::close(out[1]);
        std::string text;
        const std::regex page("Page on http://127.0.0.1:(\\d+)/"), tcpPort("Listening on port (\\d+)");
        std::smatch m1, m2;
        while (!(std::regex_search(text, m1, page) && std::regex_search(text, m2, tcpPort))) {
            char buffer[1024];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                std::fprintf(stderr, "web_bench: the server did not start:\n%s\n", text.c_str());
                std::exit(1);
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        webPort = std::stoi(m1[1]);
        this->tcpPort = std::stoi(m2[1]);
        out_ = out[0];
    }
    ~Server() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        ::close(out_);
        std::filesystem::remove_all(dir_);
    }
    // User and system CPU seconds of the server so far.
    double cpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream rest(all.substr(all.rfind(')') + 2));
        std::string word;
        double ticks = 0;
        for (int k = 3; k <= 15 && rest >> word; ++k) {
            if (k == 14 || k == 15) ticks += std::stod(word);
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    // CPU seconds of the server's threads named `name` (the page's threads
    // are "qm-web-io" and "qm-web-jpeg").
    double threadCpuSeconds(const std::string& name) const {
        double ticks = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task")) {
            std::ifstream stat(task.path() / "stat");
            std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const std::size_t open = all.find('('), close = all.rfind(')');
            if (open == std::string::npos || close == std::string::npos || all.substr(open + 1, close - open - 1) != name)
                continue;
            std::istringstream rest(all.substr(close + 2));
            std::string word;
            for (int k = 3; k <= 15 && rest >> word; ++k) {
                if (k == 14 || k == 15) ticks += std::stod(word);
            }
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    double pageCpuSeconds() const { return threadCpuSeconds("qm-web-io") + threadCpuSeconds("qm-web-jpeg"); }

    int webPort = 0, tcpPort = 0;

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    int out_ = -1;
};

// An Automatic-Mode client counting reports and the frames they name.
class TcpClient {
public:
    explicit TcpClient(int port) : socket_(io_) {
        socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        thread_ = std::thread([this] { run(); });
    }
    ~TcpClient() {
        stop_ = true;
        ::shutdown(socket_.native_handle(), SHUT_RDWR);
        thread_.join();
    }
    void reset() {
        std::lock_guard<std::mutex> hold(lock_);
        reports_ = 0;
        firstFrame_ = lastFrame_ = 0;
    }
    // Reports a second and frames a second over `seconds`.
    std::pair<double, double> rates(double seconds) {
        std::lock_guard<std::mutex> hold(lock_);
        return {reports_ / seconds, (lastFrame_ - firstFrame_) / seconds};
    }

private:
    void run() {
        std::string pending;
        char buffer[8192];
        while (!stop_) {
            boost::system::error_code ec;
            const std::size_t n = socket_.read_some(asio::buffer(buffer), ec);
            if (ec) return;
            pending.append(buffer, n);
            std::size_t at;
            while ((at = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, at);
                pending.erase(0, at + 1);
                if (line.rfind("Stamp= ", 0) != 0) continue;
                const unsigned long long frame = std::strtoull(line.c_str() + 7, nullptr, 10);
                std::lock_guard<std::mutex> hold(lock_);
                ++reports_;
                if (!firstFrame_) firstFrame_ = frame;
                lastFrame_ = frame;
            }
        }
    }

    asio::io_context io_;
    tcp::socket socket_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    long reports_ = 0;
    unsigned long long firstFrame_ = 0, lastFrame_ = 0;
    std::thread thread_;
};

// A WebSocket viewer of /ws or /ws/image that records how old each frame's
// JSON is when it arrives; it can be told to stop reading for a while.
class Viewer {
public:
    // receiveBuffer > 0: the client's own socket buffer, in bytes.
    Viewer(int port, const std::string& path, int receiveBuffer = 0) : ws_(io_) {
        ws_.next_layer().open(tcp::v4());
        if (receiveBuffer > 0) ws_.next_layer().set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        ws_.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws_.handshake("127.0.0.1:" + std::to_string(port), path);
        thread_ = std::thread([this] { run(); });
    }
    ~Viewer() {
        stop_ = true;
        paused_ = false;
        thread_.join();
    }
    std::vector<double> takeAges() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<double> ages;
        ages.swap(ages_);
        arrivals_.clear();
        return ages;
    }
    // Seconds from `since` (wall clock) to the first frame no older than 100 ms.
    double freshAfter(double since) {
        std::lock_guard<std::mutex> hold(lock_);
        for (std::size_t k = 0; k < ages_.size(); ++k) {
            if (ages_[k] <= 0.1) return arrivals_[k] - since;
        }
        return -1;
    }
    std::atomic<bool> paused_{false};
    std::atomic<double> resumedAt{0};

private:
    void run() {
        beast::flat_buffer buffer;
        while (!stop_) {
            while (paused_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            boost::system::error_code ec;
            ws_.read(buffer, ec);
            if (ec) return;
            if (ws_.got_text()) {
                const double now = wallNow();
                const double age = now - field(beast::buffers_to_string(buffer.data()), "time");
                std::lock_guard<std::mutex> hold(lock_);
                ages_.push_back(age);
                arrivals_.push_back(now);
            }
            buffer.clear();
        }
    }

    asio::io_context io_;
    beast::websocket::stream<tcp::socket> ws_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<double> ages_, arrivals_;
    std::thread thread_;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

struct Phase {
    double trackingFps, tcpReports, cpu, pageCpu;
};

Phase runPhase(Server& server, TcpClient& tcpClient, std::vector<std::unique_ptr<Viewer>>& viewers) {
    for (auto& v : viewers) v->takeAges();
    tcpClient.reset();
    const double cpu0 = server.cpuSeconds(), page0 = server.pageCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(kPhaseSeconds));
    const auto [reports, frames] = tcpClient.rates(kPhaseSeconds);
    return {frames, reports, (server.cpuSeconds() - cpu0) / kPhaseSeconds,
            (server.pageCpuSeconds() - page0) / kPhaseSeconds};
}

void printPhase(const char* name, const Phase& p, const Phase& quiet) {
    std::printf("%-8s tracking %5.1f frames/s (x%.2f)  TCP client %5.1f reports/s (x%.2f)  server CPU %.3f cores,"
                " the page's threads %.3f\n",
                name, p.trackingFps, p.trackingFps / quiet.trackingFps, p.tcpReports, p.tcpReports / quiet.tcpReports,
                p.cpu, p.pageCpu);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string binary = argc > 1 ? argv[1] : QUILLMARK_BINARY;
    Server server(binary);
    TcpClient tcpClient(server.tcpPort);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<std::unique_ptr<Viewer>> viewers;

    const Phase quiet = runPhase(server, tcpClient, viewers);
    printPhase("quiet", quiet, quiet);

    viewers.push_back(std::make_unique<Viewer>(server.webPort, "/ws/image"));
    const Phase picture = runPhase(server, tcpClient, viewers);
    const double pictures = viewers[0]->takeAges().size() / kPhaseSeconds;
    printPhase("picture", picture, quiet);
    std::printf("         one picture feed: %.1f pictures/s, the page's threads %.3f cores (goal < 0.1)\n", pictures,
                picture.pageCpu);

    for (int k = 0; k < 9; ++k) viewers.push_back(std::make_unique<Viewer>(server.webPort, "/ws/image"));
    for (int k = 0; k < 20; ++k) viewers.push_back(std::make_unique<Viewer>(server.webPort, "/ws"));
    const Phase crowd = runPhase(server, tcpClient, viewers);
    printPhase("crowd", crowd, quiet);
    std::vector<double> ages;
    for (std::size_t k = 10; k < viewers.size(); ++k) {
        const auto some = viewers[k]->takeAges();
        ages.insert(ages.end(), some.begin(), some.end());
    }
    std::printf("         grab to JSON client: p50 %.1f ms, p99 %.1f ms, max %.1f ms over %zu messages (goal p99 < 20)\n",
                percentile(ages, 0.5) * 1e3, percentile(ages, 0.99) * 1e3, percentile(ages, 1.0) * 1e3, ages.size());

    // Two JSON clients stop reading for 2 s while the rest go on: one with
    // the system's default receive buffer, one with 8 kB.
    viewers.push_back(std::make_unique<Viewer>(server.webPort, "/ws", 8192));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t plain = viewers.size() - 2;
    for (auto& v : viewers) v->takeAges();
    for (std::size_t k = plain; k < viewers.size(); ++k) viewers[k]->paused_ = true;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<double> others;
    for (std::size_t k = 10; k < plain; ++k) {
        const auto some = viewers[k]->takeAges();
        others.insert(others.end(), some.begin(), some.end());
    }
    std::printf("stall    the other clients meanwhile: p99 %.1f ms over %zu messages\n", percentile(others, 0.99) * 1e3,
                others.size());
    const double resumed = wallNow();
    for (std::size_t k = plain; k < viewers.size(); ++k) {
        viewers[k]->takeAges();
        viewers[k]->paused_ = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (std::size_t k = plain; k < viewers.size(); ++k) {
        const double fresh = viewers[k]->freshAfter(resumed);
        const std::vector<double> after = viewers[k]->takeAges();
        std::size_t stale = 0;
        while (stale < after.size() && after[stale] > 0.1) ++stale;
        std::printf("         resumed client (%s receive buffer): %zu frames older than 100 ms (oldest %.0f ms) "
                    "from its own buffer, a fresh frame %.1f ms after resuming\n",
                    k == plain ? "default" : "8 kB", stale, stale ? after[0] * 1e3 : 0.0, fresh * 1e3);
    }
    const Phase end = runPhase(server, tcpClient, viewers);
    printPhase("after", end, quiet);
    viewers.clear();
    return 0;
}
