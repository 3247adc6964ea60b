// A client that stops reading and resumes: what it gets when it reads again.
// A table of 3 markers with every field and the stamp (about 1.1 kB a
// report) is replaced at 30 Hz; one Automatic-Mode client reads for a second,
// pauses, then reads everything. Printed per pause and client receive buffer:
// the bytes waiting in the client's own buffer at resume, the bytes the
// server still had queued for it, the reports from the pause it then got and
// the oldest one's age, and how long after resuming a report no older than
// 100 ms arrived.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include "network.h"
#include "protocol.h"
#include "server_state.h"

namespace {

using Clock = std::chrono::steady_clock;

ResultTable frameTable() {
    ResultTable table(3);
    for (int i = 0; i < 3; ++i) {
        table[i].name = "P" + std::to_string(100 + i);
        table[i].px = 100.25 * i;
        table[i].cf = 0.9;
    }
    return table;
}

int connectTo(int port, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::exit(1);
    return fd;
}

// Reads what arrives within `ms`, appending to `text`.
void readFor(int fd, std::string& text, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd ready{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, left) <= 0) return;
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

void measure(Network& server, double pauseSeconds, int receiveBuffer) {
    const int fd = connectTo(server.port(), receiveBuffer);
    std::string text;
    readFor(fd, text, 1000);
    std::this_thread::sleep_for(std::chrono::duration<double>(pauseSeconds));
    int waiting = 0;
    ::ioctl(fd, FIONREAD, &waiting);
    const double resumedAt = wallClockSeconds();
    // Reads report by report, timing each stamp line as it arrives.
    int stale = 0;
    std::size_t bytesBeforeFresh = 0;
    double oldest = 0, freshAfter = -1;
    text.clear();
    std::size_t pos = 0;
    while (freshAfter < 0 && wallClockSeconds() - resumedAt < 2) {
        readFor(fd, text, 5);
        for (std::size_t line; (line = text.find("Stamp= ", pos)) != std::string::npos; pos = line + 7) {
            if (text.find('\n', line) == std::string::npos) break;
            const double captured = std::strtod(text.c_str() + text.find(' ', line + 7), nullptr);
            const double now = wallClockSeconds();
            if (now - captured <= 0.1) {
                freshAfter = now - resumedAt;
                bytesBeforeFresh = line;
                break;
            }
            ++stale;
            if (now - captured > oldest) oldest = now - captured;
        }
    }
    const long queued = static_cast<long>(bytesBeforeFresh) - waiting;
    std::printf("%5.1f s  %7s  %9d B  %9ld B  %6d  %7.0f ms  %7.1f ms\n", pauseSeconds,
                receiveBuffer ? std::to_string(receiveBuffer).c_str() : "default", waiting, queued < 0 ? 0 : queued,
                stale, oldest * 1000, freshAfter * 1000);
    ::close(fd);
}

}  // namespace

int main() {
    DataFormat format = allFields();
    format.CheckStamp = 1;
    setActiveDataFormat(format);
    AutomaticModeFlag = true;
    setServerActive(true);
    std::atomic<bool> running{true};
    std::thread driver([&] {
        for (auto next = Clock::now(); running; next += std::chrono::microseconds(33333)) {
            publishResults(frameTable());
            std::this_thread::sleep_until(next);
        }
    });
    Network server;
    server.start(0, serveClient);
    std::printf("pause    client   in client  at server  stale  oldest      fresh after\n");
    for (const int buffer : {0, 8192})
        for (const double pause : {0.5, 2.5}) measure(server, pause, buffer);
    std::printf("frames skipped for slow clients: %llu, clients dropped: %llu\n",
                static_cast<unsigned long long>(framesSkippedForSlowClients()),
                static_cast<unsigned long long>(slowClientsDropped()));
    setServerActive(false);
    server.stop();
    running = false;
    driver.join();
    Network::waitForLiveConnections(0, 5000);
}
