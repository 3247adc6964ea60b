#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

std::string systemReason(int error) {
    if (error == ENOENT) return "there is no such file";
    if (error == EISDIR) return "it is a directory, not a file";
    return std::strerror(error);
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
