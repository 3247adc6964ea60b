#pragma once
// A plain blocking TCP client for talking to a server on loopback, with a
// time limit on every wait so a broken server fails the test instead of
// hanging it.
#include <string>
#include <vector>

class TestClient {
public:
    // Connects to 127.0.0.1:port. A non-zero receiveBufferBytes shrinks the
    // socket's receive buffer before connecting (a client that barely reads).
    explicit TestClient(int port, int receiveBufferBytes = 0);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    void sendText(const std::string& text);
    // Next line without its "\n"; false on end of stream, error or timeout.
    bool readLine(std::string& line, int timeoutMs = 5000);
    // Exactly `count` bytes; false when they do not all come in time.
    bool readBytes(std::size_t count, std::string& bytes, int timeoutMs = 5000);
    // A "Num= n" header and its n lines; false when incomplete or malformed.
    bool readReport(std::vector<std::string>& lines, int timeoutMs = 5000);
    // True when the server closes the connection before the timeout; `rest`
    // gets every byte that came before the close.
    bool readToEnd(std::string& rest, int timeoutMs = 5000);
    // Closes the connection at once.
    void close();

private:
    // Appends what arrives within timeoutMs; false on end of stream, error or timeout.
    bool fill(int timeoutMs);

    int fd_ = -1;
    std::string pending_;
};
