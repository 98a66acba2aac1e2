// SPDX-License-Identifier: MIT
#include "headless/safe_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string failure(const std::string& path, int error) {
    return "cannot write '" + path + "': " + std::strerror(error != 0 ? error : EIO);
}

// Where the file named `path` is really written: the file a symbolic link leads to, or `path`
// itself. Empty, with `error` set, for a link that leads nowhere or in a loop.
std::string destination(const std::string& path, std::string& error) {
    struct stat link;
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        return path;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
        std::string target = resolved;
        std::free(resolved);
        return target;
    }
    const int reason = errno;
    error = "cannot write '" + path + "': it is a symbolic link that " +
            (reason == ELOOP ? "leads round in a loop" : "leads nowhere") + " (" +
            std::strerror(reason) + ")";
    return {};
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new temporary file beside `path`, with a name short enough for any folder.
int makeTemporary(const std::string& path, std::string& temp) {
    temp = folderOf(path) + "/.pt-XXXXXX";
    return mkostemp(temp.data(), O_CLOEXEC);
}

} // namespace

std::string checkWritable(const std::string& path) {
    std::string error;
    const std::string target = destination(path, error);
    if (!error.empty()) {
        return error;
    }
    // The rename into place would fail only after all the work: a folder cannot be replaced by
    // a file.
    struct stat existing;
    if (stat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        return failure(path, EISDIR);
    }
    std::string temp;
    const int fd = makeTemporary(target, temp);
    if (fd < 0) {
        return failure(path, errno);
    }
    close(fd);
    unlink(temp.c_str());
    return {};
}

std::string writeFileSafely(const std::string& path, const std::function<bool(std::FILE*)>& write) {
    std::string error;
    const std::string target = destination(path, error);
    if (!error.empty()) {
        return error;
    }
    // The permission bits it keeps, or those a new file gets.
    mode_t mode = 0;
    struct stat existing;
    if (stat(target.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            return failure(path, EISDIR);
        }
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    std::string temp;
    const int fd = makeTemporary(target, temp);
    if (fd < 0) {
        return failure(path, errno);
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        const int reason = errno;
        close(fd);
        unlink(temp.c_str());
        return failure(path, reason);
    }
    errno = 0;
    bool ok = write(file) && std::fflush(file) == 0 && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int reason = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        reason = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        return failure(path, reason);
    }
    // The rename itself is on the disk once the folder is.
    const int folder = open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return {};
}
