// SPDX-License-Identifier: MIT
#include "headless/safe_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "headless/quoted.h"

namespace {

// As many links as the kernel follows for one name.
constexpr int kMostLinks = 40;

std::string failure(const std::string& name, int error, const std::string& why = {}) {
    return "cannot write " + quotedName(name) + ": " + (why.empty() ? "" : why + " (") +
           std::strerror(error != 0 ? error : EIO) + (why.empty() ? "" : ")");
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string identityOf(const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Standard output (1) or standard error (2) when `st` is the file it writes to, else -1.
int standardStreamOf(const struct stat& st) {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream;
        if (fstat(fd, &stream) == 0 && stream.st_dev == st.st_dev && stream.st_ino == st.st_ino) {
            return fd;
        }
    }
    return -1;
}

// Whether a sticky folder is one everyone may write, where the kernel's protected_symlinks and
// protected_regular rules apply.
bool sharedFolder(const struct stat& folder) {
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

// The kernel's fs.protected_symlinks rule: a link in a sticky, world-writable folder is followed
// only when the folder's owner or the follower owns it.
bool mayFollow(const std::string& link, const struct stat& linkStat) {
    struct stat folder;
    if (stat(folderOf(link).c_str(), &folder) != 0) {
        return true;
    }
    return !sharedFolder(folder) || linkStat.st_uid == folder.st_uid ||
           linkStat.st_uid == geteuid();
}

// Whether the file or folder at `path` is immutable or append-only (chattr +i, +a), where the
// file system keeps such flags and the file can be opened to ask.
bool unchangeable(const std::string& path, bool folder) {
    const int fd = open(path.c_str(),
                        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    const bool asked = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    close(fd);
    return asked && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// Whether the user running the program is in group `group`.
bool inGroup(gid_t group) {
    if (group == getegid()) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int got = count > 0 ? getgroups(count, groups.data()) : 0;
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<std::size_t>(i)] == group) {
            return true;
        }
    }
    return false;
}

// Sets the permission bits of the open file `fd`: 0, or why it failed. A file system that keeps
// no modes (FAT, some FUSE file systems) refuses: its file keeps what it gives, as cp leaves it.
int setMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0 || errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP ||
        errno == EPERM) {
        return 0;
    }
    return errno;
}

// The file a regular file's name leads to, links followed one by one (to a name that does not
// exist yet too). Empty, with `error` set, where no file can be written.
std::string followLinks(const std::string& name, std::string& error) {
    std::string file = name;
    for (int links = 0;; ++links) {
        struct stat st;
        if (lstat(file.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                return file; // made there
            }
            error = failure(name, errno);
            return {};
        }
        if (!S_ISLNK(st.st_mode)) {
            return file;
        }
        if (links == kMostLinks) {
            error = failure(name, ELOOP, "it is a symbolic link that leads round in a loop");
            return {};
        }
        if (!mayFollow(file, st)) {
            error = failure(name, EACCES,
                            "it is a symbolic link in a sticky world-writable folder, owned by "
                            "neither the folder's owner nor you");
            return {};
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(file.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            error = failure(name, length < 0 ? errno : ENAMETOOLONG);
            return {};
        }
        target.resize(static_cast<std::size_t>(length));
        file = target[0] == '/' ? target : folderOf(file) + "/" + target;
    }
}

// Temporary names are ".pt-", the boot's and the PID namespace's identity, the process ID and a
// random part, so that a later run can tell a name that a killed process left (one of this boot
// and namespace whose process is gone) from one in use. The part every process of this boot and
// namespace shares:
const std::string& temporaryOwners() {
    static const std::string owners = [] {
        std::string boot = "0";
        if (std::FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "r")) {
            char id[9] = "";
            if (std::fscanf(f, "%8[0-9a-f]", id) == 1) {
                boot = id;
            }
            std::fclose(f);
        }
        struct stat ns;
        const std::string space =
            stat("/proc/self/ns/pid", &ns) == 0 ? std::to_string(ns.st_ino) : "0";
        return ".pt-" + boot + "-" + space + "-";
    }();
    return owners;
}

// The start of this process's temporary names.
const std::string& temporaryPrefix() {
    static const std::string prefix = temporaryOwners() + std::to_string(getpid()) + "-";
    return prefix;
}

// Removes from `folder` the temporary files that processes of this program, of this boot and
// PID namespace, left when they were killed while saving: the user's own regular files whose
// process is gone.
void removeAbandoned(const std::string& folder) {
    const std::string& ours = temporaryOwners();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, ours.size(), ours) != 0) {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + ours.size(), &end, 10);
        struct stat st;
        const std::string path = folder + "/" + name;
        if (pid > 0 && pid != getpid() && *end == '-' && kill(static_cast<pid_t>(pid), 0) != 0 &&
            errno == ESRCH && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == geteuid()) {
            unlink(path.c_str());
        }
    }
    closedir(dir);
}

// A new file in `folder` to fill before it takes the final name: an unnamed one (O_TMPFILE),
// which nothing can leave behind, where the file system has them; else one with a temporary
// name, set in `named`.
int openTemporary(const std::string& folder, std::string& named, bool unnamedToo) {
    named.clear();
#ifdef O_TMPFILE
    if (unnamedToo) {
        const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            return fd;
        }
    }
#endif
    named = folder + "/" + temporaryPrefix() + "XXXXXX";
    const int fd = mkostemp(named.data(), O_CLOEXEC);
    if (fd < 0) {
        named.clear();
    }
    return fd;
}

// Gives the unnamed file `fd` a temporary name in `folder`, through /proc. False, with errno
// set, where it cannot.
bool nameTemporary(int fd, const std::string& folder, std::string& named) {
    static std::atomic<unsigned> counter{0};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06x", (counter++ * 2654435761u) & 0xFFFFFFu);
        named = folder + "/" + temporaryPrefix() + suffix;
        if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    named.clear();
    return false;
}

// Fills the open file `fd` through `write` and flushes it: 0, or why it failed. The stream's
// error state counts too: a buffered write can fail after `write` returned.
int fill(int fd, const std::function<bool(std::FILE*)>& write) {
    const int copy = dup(fd);
    std::FILE* file = copy < 0 ? nullptr : fdopen(copy, "wb");
    if (file == nullptr) {
        const int reason = errno;
        if (copy >= 0) {
            close(copy);
        }
        return reason;
    }
    errno = 0;
    bool ok = write(file);
    int reason = errno;
    if (ok && (std::fflush(file) != 0 || std::ferror(file) != 0)) {
        ok = false;
        reason = errno;
    }
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    return ok ? 0 : (reason != 0 ? reason : EIO);
}

// Every catchable signal waits while it lives.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t before_;
};

// `name` with its ASCII letters in lower case, or in upper case.
std::string inCase(std::string name, bool upper) {
    for (char& c : name) {
        if (upper ? (c >= 'a' && c <= 'z') : (c >= 'A' && c <= 'Z')) {
            c = static_cast<char>(c + (upper ? 'A' - 'a' : 'a' - 'A'));
        }
    }
    return name;
}

// Whether `folder` folds the case of names: a new file's name in capitals finds it. (ASCII
// letters only are compared in one case.)
bool foldsCase(const std::string& folder) {
    const SignalsHeld held; // (so that the file made to ask goes again whatever comes)
    std::string named = folder + "/" + temporaryPrefix() + "caseXXXXXX";
    const int fd = mkostemp(named.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const std::string other = folder + "/" + inCase(baseOf(named), true);
    // (The name's random part makes another file of that name unlikely; a FUSE file system
    // may give one file another inode number under each name.)
    struct stat found;
    const bool folds = lstat(other.c_str(), &found) == 0;
    close(fd);
    unlink(named.c_str());
    return folds;
}

// An existing regular file: refused where `>` would refuse to write it. An error message naming
// `name`, or an empty string.
std::string checkExisting(const std::string& name, const std::string& file,
                          const struct stat& existing, const struct stat& folder) {
    const uid_t me = geteuid();
    // fs.protected_regular: root too may not open it for writing.
    if (sharedFolder(folder) && existing.st_uid != folder.st_uid && existing.st_uid != me) {
        return failure(name, EACCES,
                       "it is another user's file in a sticky world-writable folder, which the "
                       "kernel keeps others from writing");
    }
    // In a sticky folder only the file's owner, the folder's owner or a privileged user may
    // rename another file over it.
    if ((folder.st_mode & S_ISVTX) != 0 && existing.st_uid != me && folder.st_uid != me &&
        me != 0) {
        return failure(name, EPERM,
                       "it is another user's file in a sticky folder, which only they may "
                       "replace");
    }
    if (unchangeable(file, false)) {
        return failure(name, EPERM, "it is immutable or append-only");
    }
    if (faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) {
        return failure(name, errno);
    }
    return {};
}

// Replace: what the write will need. With `probe`, a file is made in the folder too (and taken
// away); the write itself makes its own.
std::string checkReplace(const std::string& name, OutputPlace& place, bool probe) {
    const std::string folder = folderOf(place.file);
    const std::string base = baseOf(place.file);
    struct stat folderStat;
    if (stat(folder.c_str(), &folderStat) != 0) {
        return failure(name, errno);
    }
    if (!S_ISDIR(folderStat.st_mode)) {
        return failure(name, ENOTDIR);
    }
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (base.size() > static_cast<std::size_t>(longest > 0 ? longest : NAME_MAX) ||
        place.file.size() >= PATH_MAX) {
        return failure(name, ENAMETOOLONG);
    }
    if (unchangeable(folder, true)) {
        return failure(name, EPERM, "its folder is immutable or append-only");
    }
    struct stat existing;
    if (lstat(place.file.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            return failure(name, EISDIR);
        }
        if (const std::string refused = checkExisting(name, place.file, existing, folderStat);
            !refused.empty()) {
            return refused;
        }
        place.identity = identityOf(existing);
        // Replaced by the user's own file, it would change owner or group: written in place.
        if (geteuid() != 0 && (existing.st_uid != geteuid() || !inGroup(existing.st_gid))) {
            place.way = OutputPlace::Way::Rewrite;
            return {};
        }
    } else {
        // A new file is its folder and its name, whichever path reaches the folder, and in a
        // folder that folds case (FAT, or ext4's casefold) its name in one case.
        place.identity = identityOf(folderStat) + "/" +
                         (probe && foldsCase(folder) ? inCase(base, false) : base);
    }
    if (!probe) {
        return {};
    }
    removeAbandoned(folder);
    const SignalsHeld held;
    std::string named;
    const int fd = openTemporary(folder, named, true);
    if (fd < 0) {
        return failure(name, errno);
    }
    const int reason = setMode(fd, 0600);
    close(fd);
    if (!named.empty()) {
        unlink(named.c_str());
    }
    return reason == 0 ? std::string() : failure(name, reason);
}

std::string writeToDescriptor(const std::string& name, int descriptor,
                              const std::function<bool(std::FILE*)>& write) {
    // Lines the program wrote before come first.
    std::fflush(descriptor == STDOUT_FILENO ? stdout : stderr);
    const int reason = fill(descriptor, write);
    return reason == 0 ? std::string() : failure(name, reason);
}

// Opens and writes an existing file as it is (emptied first with `truncate`).
std::string writeInPlace(const std::string& name, const std::string& file,
                         const std::function<bool(std::FILE*)>& write, bool truncate) {
    const int fd = open(file.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (truncate ? O_TRUNC : 0));
    if (fd < 0) {
        return failure(name, errno);
    }
    int reason = fill(fd, write);
    struct stat st;
    if (reason == 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fsync(fd) != 0) {
        reason = errno;
    }
    if (close(fd) != 0 && reason == 0 && errno != EINTR) {
        reason = errno;
    }
    return reason == 0 ? std::string() : failure(name, reason);
}

// Gives the filled temporary file the owner, group and permission bits the replaced file had
// (or those of a new file), and puts it on the disk: 0, or why it failed.
int finishTemporary(int fd, const struct stat* replaced) {
    mode_t mode = 0;
    if (replaced != nullptr) {
        if (replaced->st_uid != geteuid() || replaced->st_gid != getegid()) {
            // Another owner only where the system allows it (as root); the group where the user
            // is a member of it.
            if (fchown(fd, replaced->st_uid, replaced->st_gid) != 0 &&
                fchown(fd, static_cast<uid_t>(-1), replaced->st_gid) != 0) {
                errno = 0;
            }
        }
        mode = replaced->st_mode & 0777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    const int reason = setMode(fd, mode);
    return reason != 0 ? reason : fsync(fd) != 0 ? errno : 0;
}

std::string replaceFile(const std::string& name, const OutputPlace& place,
                        const std::function<bool(std::FILE*)>& write, std::string* notice) {
    const SignalsHeld held;
    struct stat existing;
    const bool exists = stat(place.file.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    const std::string folder = folderOf(place.file);
    removeAbandoned(folder);
    for (const bool unnamedToo : {true, false}) {
        std::string named;
        const int fd = openTemporary(folder, named, unnamedToo);
        if (fd < 0) {
            return failure(name, errno);
        }
        int reason = fill(fd, write);
        if (reason == 0) {
            reason = finishTemporary(fd, exists ? &existing : nullptr);
        }
        if (reason == 0 && named.empty() && !nameTemporary(fd, folder, named)) {
            // No /proc to name it through: written again under a temporary name.
            close(fd);
            continue;
        }
        if (reason == 0 && std::rename(named.c_str(), place.file.c_str()) != 0) {
            reason = errno;
        }
        if (reason != 0 && !named.empty()) {
            unlink(named.c_str());
        }
        close(fd);
        if (reason == EBUSY && exists) {
            // A file mounted on its own cannot be renamed over: written where it stands.
            if (notice != nullptr) {
                *notice = "cannot replace " + quotedName(name) + " at once (" +
                          std::strerror(reason) + "): written in place";
            }
            return writeInPlace(name, place.file, write, true);
        }
        if (reason != 0) {
            return failure(name, reason);
        }
        // The rename itself is on the disk once the folder is.
        const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd >= 0) {
            fsync(folderFd);
            close(folderFd);
        }
        return {};
    }
    return failure(name, EIO);
}

// findOutputPlace, with or without making a file in the folder of one to replace.
std::string locate(const std::string& name, OutputPlace& place, bool probe) {
    place = OutputPlace{};
    if (name == "-") {
        place.way = OutputPlace::Way::Descriptor;
        place.descriptor = STDOUT_FILENO;
        struct stat st;
        place.identity = fstat(STDOUT_FILENO, &st) == 0 ? identityOf(st) : "-";
        return {};
    }
    // Every link on the way, checked as the kernel's rule would, whatever it leads to.
    std::string error;
    const std::string file = followLinks(name, error);
    if (!error.empty()) {
        return error;
    }
    // What the kernel finds at the name: the program's own output, a special file, or a
    // regular file (or none yet), which is replaced.
    struct stat st;
    if (stat(name.c_str(), &st) == 0) {
        const int stream = standardStreamOf(st);
        if (stream >= 0) {
            place.way = OutputPlace::Way::Descriptor;
            place.descriptor = stream;
            place.identity = identityOf(st);
            return {};
        }
        if (S_ISDIR(st.st_mode)) {
            return failure(name, EISDIR);
        }
        if (!S_ISREG(st.st_mode) || st.st_nlink == 0) {
            // A special file, or a file open but deleted that only the name reaches
            // (/proc/self/fd/N): written through the name, as it is.
            place.way = S_ISREG(st.st_mode) ? OutputPlace::Way::Rewrite : OutputPlace::Way::InPlace;
            place.file = name;
            place.identity = identityOf(st);
            return {};
        }
    } else if (errno == ELOOP) {
        return failure(name, ELOOP, "it is a symbolic link that leads round in a loop");
    } else if (errno != ENOENT) {
        return failure(name, errno);
    }
    place.way = OutputPlace::Way::Replace;
    place.file = file;
    struct stat folder;
    if (place.file != name && stat(folderOf(place.file).c_str(), &folder) != 0) {
        return failure(name, errno, "it is a symbolic link that leads nowhere");
    }
    return checkReplace(name, place, probe);
}

} // namespace

std::string findOutputPlace(const std::string& name, OutputPlace& place) {
    return locate(name, place, true);
}

std::string checkWritable(const std::string& name) {
    OutputPlace place;
    return findOutputPlace(name, place);
}

std::string writeFileSafely(const std::string& name, const std::function<bool(std::FILE*)>& write,
                            std::string* notice) {
    OutputPlace place;
    const std::string error = locate(name, place, false);
    if (!error.empty()) {
        return error;
    }
    switch (place.way) {
    case OutputPlace::Way::Descriptor:
        return writeToDescriptor(name, place.descriptor, write);
    case OutputPlace::Way::InPlace:
        return writeInPlace(name, place.file, write, false);
    case OutputPlace::Way::Rewrite:
        return writeInPlace(name, place.file, write, true);
    case OutputPlace::Way::Replace:
        break;
    }
    return replaceFile(name, place, write, notice);
}

std::string fileIdentity(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? identityOf(st) : std::string();
}
