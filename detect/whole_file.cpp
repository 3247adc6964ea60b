#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

std::string systemReason(int error) {
    if (error == ENOENT) return "there is no such file";
    if (error == EISDIR) return "it is a directory, not a file";
    return std::strerror(error);
}

// Writes all of `bytes` to `fd`, going on after short writes.
bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string fileReadProblem(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return systemReason(errno);
    if (S_ISDIR(info.st_mode)) return systemReason(EISDIR);
    if (access(path.c_str(), R_OK) != 0) return systemReason(errno);
    return "";
}

bool readWholeFile(const std::string& path, std::string& bytes, std::string& reason) {
    bytes.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = systemReason(errno);
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        reason = systemReason(EISDIR);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reason = systemReason(errno);
            close(fd);
            bytes.clear();
            return false;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

bool replaceFileWhole(const std::string& path, const std::string& bytes, std::string& error,
                      const std::function<bool(std::string& error)>& beforeReplace) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Renaming over a link would replace the link, not the file it names.
    std::string target = path;
    if (fs::is_symlink(path, ec)) target = fs::weakly_canonical(path, ec).string();
    if (ec) target = path;
    struct stat old;
    const bool existed = stat(target.c_str(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode)) {
        error = "cannot write " + path + ": " + systemReason(EISDIR);
        return false;
    }
    // A name of its own beside the file, so the rename replaces it in one
    // step on the same file system.
    std::string fresh = target + ".new-XXXXXX";
    const int fd = mkstemp(fresh.data());
    if (fd < 0) {
        error = "cannot write a new file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, existed ? (old.st_mode & 07777) : 0644);
    const bool written = writeAll(fd, bytes) && fsync(fd) == 0;
    const int writeErrno = errno;
    close(fd);
    std::string back, ignored;
    if (!written || !readWholeFile(fresh, back, ignored) || back != bytes) {
        std::remove(fresh.c_str());
        error = "cannot write " + path + " whole" +
                (written ? std::string(": it does not read back as written") : ": " + std::string(std::strerror(writeErrno))) +
                "; it is unchanged";
        return false;
    }
    if (beforeReplace && !beforeReplace(error)) {
        std::remove(fresh.c_str());
        return false;
    }
    if (std::rename(fresh.c_str(), target.c_str()) != 0) {
        error = "cannot replace " + path + ": " + systemReason(errno) + "; it is unchanged";
        std::remove(fresh.c_str());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    const std::string folder = fs::path(target).parent_path().empty() ? "." : fs::path(target).parent_path().string();
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}
