// A Command-Mode client that floods: it sends 2 kB blocks of "all" lines as
// fast as the server takes them and reads every reply, for a few seconds,
// against a table of 10 markers with every field on. Printed: what it sent
// and got a second, the ratio, the server's processor time a second, and
// the round trip of a polite client ("all", wait, repeat) meanwhile. The
// client runs in a child process so the server's time is its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include "network.h"
#include "protocol.h"
#include "server_state.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int MARKERS = 10;
constexpr double SECONDS = 3.0;
constexpr std::size_t BLOCK = 2048;

ResultTable table() {
    ResultTable t;
    for (int i = 0; i < MARKERS; ++i) {
        MarkerResult r;
        r.patternId = i;
        r.name = "P" + std::to_string(100 + i);
        r.px = 64.25 * i;
        r.py = 480.0 - 31.5 * i;
        r.area = 1500 + 10 * i;
        r.cf = 0.61 + 0.03 * i;
        r.X = -120.123456 + 25 * i;
        r.Y = 85.654321 - 12 * i;
        r.Z = 950.5;
        for (int e = 0; e < 16; ++e) r.glMatrix[e] = (e % 5 == 0) ? 1.0 : 0.001 * (e + i);
        t.push_back(r);
    }
    return t;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

struct Counts {
    long long sent = 0, received = 0, lines = 0;
};

// The child: floods for SECONDS, then writes its counts to `out`.
void flood(int port, int out) {
    const int fd = connectTo(port);
    std::string block;
    while (block.size() + 4 <= BLOCK) block += "all\n";
    Counts counts;
    std::vector<char> buffer(1 << 16);
    const auto end = Clock::now() + std::chrono::duration<double>(SECONDS);
    std::size_t offset = 0;
    while (Clock::now() < end) {
        pollfd ready{fd, POLLIN | POLLOUT, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        if (ready.revents & POLLIN) {
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n <= 0) break;
            counts.received += n;
            counts.lines += std::count(buffer.data(), buffer.data() + n, '\n');
        }
        if (ready.revents & POLLOUT) {
            const ssize_t n = send(fd, block.data() + offset, block.size() - offset, MSG_DONTWAIT);
            if (n > 0) {
                counts.sent += n;
                offset = (offset + n) % block.size();
            }
        }
    }
    if (write(out, &counts, sizeof counts) != sizeof counts) std::exit(1);
    close(fd);
    std::exit(0);
}

// A polite client's round trips while the flood runs, in milliseconds.
std::vector<double> politeRoundTrips(int port) {
    const int fd = connectTo(port);
    std::vector<double> trips;
    char buffer[8192];
    const auto end = Clock::now() + std::chrono::duration<double>(SECONDS - 0.5);
    while (Clock::now() < end) {
        const auto begun = Clock::now();
        if (send(fd, "all\n", 4, 0) != 4) break;
        // A report of 10 markers is "Num= 10\n" and 10 lines.
        int lines = 0;
        while (lines < MARKERS + 1) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) return trips;
            lines += static_cast<int>(std::count(buffer, buffer + n, '\n'));
        }
        trips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close(fd);
    return trips;
}

}  // namespace

int main() {
    DataFormat all;
    all.CheckName = all.CheckPos2d = all.CheckDvec = all.CheckPos3d = all.CheckGLmatrix = all.CheckCf =
        all.CheckArea = all.CheckVertex = 1;
    setActiveDataFormat(all);
    AutomaticModeFlag = false;
    publishResults(table());
    setServerActive(true);
    Network server;
    server.start(0, serveClient);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    const double cpuBefore = cpuSeconds();
    const pid_t child = fork();
    if (child == 0) flood(server.port(), pipeFds[1]);
    std::vector<double> trips = politeRoundTrips(server.port());
    Counts counts;
    const bool got = read(pipeFds[0], &counts, sizeof counts) == sizeof counts;
    waitpid(child, nullptr, 0);
    const double cpu = cpuSeconds() - cpuBefore;
    setServerActive(false);
    server.stop();
    // Every report is "Num= 10" and ten lines.
    const long long reports = counts.lines / (MARKERS + 1);
    if (!got || reports == 0 || trips.empty()) {
        std::printf("FAILED: the flood got %lld reports, the polite client %zu\n", reports, trips.size());
        return 1;
    }
    std::sort(trips.begin(), trips.end());
    std::printf("flood of 2 kB blocks of \"all\", %d markers, all fields, %.0f s:\n", MARKERS, SECONDS);
    std::printf("  client sent        %10.0f bytes/s\n", counts.sent / SECONDS);
    std::printf("  server wrote       %10.0f bytes/s (%.0f reports a second)\n", counts.received / SECONDS,
                reports / SECONDS);
    std::printf("  written / sent     %10.2f (the rest of what it sent waits unread)\n",
                counts.sent ? double(counts.received) / counts.sent : 0.0);
    std::printf("  server processor   %10.2f cores\n", cpu / SECONDS);
    std::printf("  polite round trip  %10.1f ms median, %.1f ms worst (%zu trips)\n", trips[trips.size() / 2],
                trips.back(), trips.size());
    return 0;
}
