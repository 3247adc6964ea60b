#pragma once
// The quillmark executable run as users start it (quillmarkExe()), its
// standard output and error captured, for the tests that need it running.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <string>
#include <vector>
#include "paths.h"

extern char** environ;

// One run of the binary with its standard output and error captured; the
// command word goes first unless it is empty.
class Headless {
public:
    explicit Headless(const std::vector<std::string>& args, const std::string& command = "--headless") {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> all{quillmarkExe()};
        if (!command.empty()) all.push_back(command);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, quillmarkExe().c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
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

    // True once standard output holds `text`, while the process runs on.
    bool waitForOutput(const std::string& text, int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (stdout_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            readSome(out_, stdout_, 50);
        }
        return true;
    }

    // True once standard error holds `text`, while the process runs on.
    bool waitForErrors(const std::string& text, int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (stderr_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            readSome(err_, stderr_, 50);
        }
        return true;
    }
    // Standard error so far, while the process runs on.
    const std::string& errorsSoFar() {
        while (readSome(err_, stderr_, 0)) {
        }
        return stderr_;
    }

    void signal(int number) { kill(pid_, number); }
    pid_t pid() const { return pid_; }
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

