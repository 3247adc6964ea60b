// The quillmark executable in headless mode, started as users start it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>
#include "network.h"
#include "protocol.h"
#include "temp_dir.h"
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

    // The port from the line "Listening on port N", or -1 when it does not
    // come (a live camera prints its parameters before it).
    int listeningPort() {
        const std::string prefix = "Listening on port ";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        size_t at = std::string::npos;
        while (std::chrono::steady_clock::now() < end) {
            at = stdout_.find(prefix);
            if (at != std::string::npos && stdout_.find('\n', at) != std::string::npos) break;
            if (!readSome(out_, stdout_, 100) && waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return -1;
            }
        }
        if (at == std::string::npos || (at > 0 && stdout_[at - 1] != '\n')) return -1;
        return std::stoi(stdout_.substr(at + prefix.size()));
    }
    // Everything printed so far on standard output, after the process ended.
    const std::string& output() {
        while (readSome(out_, stdout_, 0)) {
        }
        return stdout_;
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
        {"--camera", "none", "--threshold", "0"}, {"--camera", "none", "--max-squares", "501"},
        {"--camera", "none", "--max-area", "big"},
    };
    for (const auto& args : bad) {
        Headless run(args);
        EXPECT_EQ(run.exitStatus(), 2) << args.back();
        EXPECT_NE(run.errors().find("usage:"), std::string::npos) << args.back();
    }
}

// A working directory holding a copy of the shipped Data/.
class HeadlessLive : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(std::filesystem::path(QUILLMARK_SOURCE_DIR) / "Data", dir.file("Data"),
                              std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir.file("Data/config.txt"));
    }
    std::vector<std::string> args(std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"-C", dir.path()});
        return rest;
    }
    TempDir dir;
};

std::set<std::string> namesInView(TestClient& client, size_t expected) {
    std::set<std::string> names;
    for (int attempt = 0; attempt < 100 && names.size() != expected; ++attempt) {
        client.sendText("all\n");
        std::vector<std::string> lines;
        if (!client.readReport(lines)) break;
        names = std::set<std::string>(lines.begin(), lines.end());
    }
    return names;
}

TEST_F(HeadlessLive, TheSyntheticCameraServesTheShippedMarkers) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output();
    TestClient client(port);
    EXPECT_EQ(namesInView(client, 4), (std::set<std::string>{"Flag", "Fork", "Kite", "Hook"}));
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_NE(run.output().find("SIZE = 640, 480"), std::string::npos) << "the installed camera is printed";
}

TEST_F(HeadlessLive, TheDetectorFlagsServeTheSameMarkers) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name", "--threshold", "auto",
                       "--max-squares", "100", "--max-area", "200000"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output() << run.errors();
    TestClient client(port);
    EXPECT_EQ(namesInView(client, 4), (std::set<std::string>{"Flag", "Fork", "Kite", "Hook"}));
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST_F(HeadlessLive, TheConfigurationFileGivesPortModeFieldsAndCamera) {
    const int freePort = [] {
        Network probe;
        probe.start(0, serveClient);
        const int port = probe.port();
        probe.stop();
        return port;
    }();
    writeFile(dir.file("Data/config.txt"), "[Port] " + std::to_string(freePort) +
                                               "\n[CameraSelected] 0\n[DataFlow] 1\n[CheckName] 1\n[CheckArea] 1\n");
    Headless run(args({}));
    ASSERT_EQ(run.listeningPort(), freePort) << run.output() << run.errors();
    TestClient client(freePort);
    client.sendText("get Kite\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(client.readReport(lines));
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("Kite,", 0), 0u) << line;
    run.signal(SIGINT);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST_F(HeadlessLive, AMissingCameraFileRefusesToStartAndNamesIt) {
    std::filesystem::remove(dir.file("Data/camera_para.dat"));
    Headless run(args({"--camera", "synthetic"}));
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("Data/camera_para.dat"), std::string::npos) << run.errors();
}

TEST_F(HeadlessLive, AnUnknownCameraIsRefusedWithTheReason) {
    Headless run(args({"--camera", "bogus:7"}));
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("bogus:7"), std::string::npos) << run.errors();
}

TEST_F(HeadlessLive, CameraListNamesTheBuiltInSource) {
    Headless run(args({"--camera", "list"}));
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(run.output().rfind("synthetic", 0), 0u) << run.output();
}
