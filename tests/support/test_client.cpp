#include "test_client.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>

TestClient::TestClient(int port, int receiveBufferBytes) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    if (receiveBufferBytes > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close();
}

TestClient::~TestClient() {
    close();
}

void TestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TestClient::sendText(const std::string& text) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < text.size()) {
        const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

bool TestClient::fill(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

namespace {
int msLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

bool TestClient::readLine(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        if (!fill(msLeft(deadline))) return false;
    }
}

bool TestClient::readBytes(std::size_t count, std::string& bytes, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < count) {
        if (!fill(msLeft(deadline))) return false;
    }
    bytes = pending_.substr(0, count);
    pending_.erase(0, count);
    return true;
}

bool TestClient::readReport(std::vector<std::string>& lines, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string header;
    if (!readLine(header, timeoutMs) || header.compare(0, 5, "Num= ") != 0) return false;
    const int count = std::atoi(header.c_str() + 5);
    lines.clear();
    for (int i = 0; i < count; ++i) {
        std::string line;
        if (!readLine(line, msLeft(deadline))) return false;
        lines.push_back(line);
    }
    return true;
}

bool TestClient::readToEnd(std::string& rest, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (fd_ < 0) return false;
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, msLeft(deadline)) <= 0) return false;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        rest.swap(pending_);
        pending_.clear();
        return true;
    }
}
