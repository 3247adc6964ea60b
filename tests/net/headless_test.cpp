// The quillmark executable in headless mode, started as users start it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <string>
#include <vector>
#include "network.h"
#include "protocol.h"
#include "test_client.h"

extern char** environ;

namespace {

// One run of the binary with its standard output and error captured.
class Headless {
public:
    explicit Headless(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all{QUILLMARK_BINARY, "--headless"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QUILLMARK_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Headless() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }

    // The port from "Listening on port N", or -1 when the line does not come.
    int listeningPort() {
        const std::string prefix = "Listening on port ";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (stdout_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            readSome(out_, stdout_, 100);
        }
        if (stdout_.compare(0, prefix.size(), prefix) != 0 || stdout_.find('\n') == std::string::npos) return -1;
        return std::stoi(stdout_.substr(prefix.size()));
    }

    // Waits for the process to end; its exit status, or -1 for a signal or a hang.
    int exitStatus() {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                while (readSome(err_, stderr_, 0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

    void signal(int number) { kill(pid_, number); }
    const std::string& errors() const { return stderr_; }

private:
    static bool readSome(int fd, std::string& into, int timeoutMs) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string stdout_, stderr_;
};

}  // namespace

TEST(Headless, ServesTheEmptyTableAndStopsOnTerm) {
    Headless run({"--camera", "none", "--mode", "command", "--fields", "all"});
    const int port = run.listeningPort();
    ASSERT_GT(port, 0);
    TestClient client(port);
    client.sendText("all\nget P003\n");
    std::string bytes;
    ASSERT_TRUE(client.readBytes(14, bytes));
    EXPECT_EQ(bytes, "Num= 0\nNum= 0\n");
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST(Headless, InterruptEndsAutomaticClientsAndExitsCleanly) {
    Headless run({"--camera", "none", "--port", "0"});
    const int port = run.listeningPort();
    ASSERT_GT(port, 0);
    TestClient client(port);
    std::vector<std::string> lines;
    ASSERT_TRUE(client.readReport(lines));
    EXPECT_TRUE(lines.empty());
    run.signal(SIGINT);
    std::string rest;
    EXPECT_TRUE(client.readToEnd(rest));
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_FALSE(TestClient(port).connected());
}

TEST(Headless, TakenPortIsNamedWithTheReason) {
    Network holder;
    holder.start(0, serveClient);
    const std::string port = std::to_string(holder.port());
    Headless run({"--camera", "none", "--port", port});
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("port " + port), std::string::npos) << run.errors();
    EXPECT_NE(run.errors().find("Address already in use"), std::string::npos) << run.errors();
    holder.stop();
}

TEST(Headless, BadCommandLinesGetTheUsage) {
    const std::vector<std::vector<std::string>> bad{
        {"--camera", "none", "--port", "65536"}, {"--camera", "none", "--port", "-1"},
        {"--camera", "none", "--mode", "fast"},  {"--camera", "none", "--fields", "name,size"},
        {"--camera", "none", "--port"},          {"--camera", "none", "--verbose"},
    };
    for (const auto& args : bad) {
        Headless run(args);
        EXPECT_EQ(run.exitStatus(), 2) << args.back();
        EXPECT_NE(run.errors().find("usage:"), std::string::npos) << args.back();
    }
}

TEST(Headless, LiveCameraIsNotAvailableYet) {
    Headless run({"--camera", "0"});
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("not available yet"), std::string::npos) << run.errors();
}
