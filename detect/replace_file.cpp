#include "replace_file.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The backups of `path`: path.bak, then path.bak.1, path.bak.2, ... The
// next one is numbered above every one there, so the highest number is
// always the newest, whatever was deleted in between.
std::string nextBackupPath(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path file(path);
    const std::string bak = file.filename().string() + ".bak";
    std::error_code ec;
    long highest = -1;
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name == bak) highest = std::max(highest, 0L);
        if (name.size() <= bak.size() + 1 || name.compare(0, bak.size() + 1, bak + ".") != 0) continue;
        const std::string number = name.substr(bak.size() + 1);
        if (number.size() < 10 && number.find_first_not_of("0123456789") == std::string::npos)
            highest = std::max(highest, std::stol(number));
    }
    return highest < 0 ? path + ".bak" : path + ".bak." + std::to_string(highest + 1);
}

// A hard link costs nothing and cannot replace a file already there; where
// links are not had, a copy that refuses to overwrite does the same.
bool keepAsBackup(const std::string& path, std::string& backup, std::string& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        backup = nextBackupPath(path);
        std::error_code ec;
        std::filesystem::create_hard_link(path, backup, ec);
        if (ec && ec != std::errc::file_exists)
            std::filesystem::copy_file(path, backup, std::filesystem::copy_options::none, ec);
        if (!ec) return true;
        if (ec != std::errc::file_exists) {
            error = "cannot keep " + path + " as " + backup + ": " + ec.message();
            return false;
        }
    }
    error = "cannot keep " + path + " as " + backup + ": another backup keeps taking its name";
    return false;
}

bool synced(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

} // namespace

namespace {

// What replaceFileKeepingBackup does, the backup only when `keepBackup`.
bool replaceFile(const std::string& path, const FreshFileWriter& writeFresh, bool keepBackup, std::string& error,
                 std::string* backupPath) {
    if (backupPath) backupPath->clear();
    namespace fs = std::filesystem;
    std::error_code ec;
    // Renaming over a link would replace the link, not the file it names.
    const std::string target = fs::is_symlink(path, ec) ? fs::weakly_canonical(path, ec).string() : path;
    struct stat old;
    const bool existed = stat(target.c_str(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode)) {
        error = "cannot replace " + path + ": it is a directory, not a file";
        return false;
    }
    // A name of its own beside the file, so that the rename below replaces
    // the file in one step on the same file system.
    std::string fresh = target + ".new-XXXXXX";
    const int fd = mkstemp(fresh.data());
    if (fd < 0) {
        error = "cannot write a new file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the replacement keeps the old one's
    // permissions, or a new file's usual ones.
    fchmod(fd, existed ? (old.st_mode & 07777) : 0644);
    close(fd);
    errno = 0;
    if (!writeFresh(fresh) || !synced(fresh)) {
        const int reason = errno;
        std::remove(fresh.c_str());
        error = "cannot write " + path + " whole" + (reason ? std::string(": ") + std::strerror(reason) : "") +
                "; it is unchanged";
        return false;
    }
    std::string backup;
    if (keepBackup && existed && !keepAsBackup(target, backup, error)) {
        std::remove(fresh.c_str());
        return false;
    }
    fs::rename(fresh, target, ec);
    if (ec) {
        std::remove(fresh.c_str());
        if (!backup.empty()) std::remove(backup.c_str());
        error = "cannot replace " + path + ": " + ec.message() + "; it is unchanged";
        return false;
    }
    if (backupPath) *backupPath = backup;
    return true;
}

bool writeText(const std::string& fresh, const std::string& text) {
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return false;
    }
    std::ifstream in(fresh, std::ios::binary);
    std::ostringstream back;
    back << in.rdbuf();
    return back.str() == text;
}

} // namespace

bool replaceFileKeepingBackup(const std::string& path, const FreshFileWriter& writeFresh, std::string& error,
                              std::string* backupPath) {
    return replaceFile(path, writeFresh, true, error, backupPath);
}

bool writeTextFileReplacing(const std::string& path, const std::string& text, std::string& error) {
    return replaceFile(path, [&text](const std::string& fresh) { return writeText(fresh, text); }, false, error,
                       nullptr);
}

bool writeTextFileKeepingBackup(const std::string& path, const std::string& text, std::string& error,
                                std::string* backupPath) {
    return replaceFile(path, [&text](const std::string& fresh) { return writeText(fresh, text); }, true, error,
                       backupPath);
}
