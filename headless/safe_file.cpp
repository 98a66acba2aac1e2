// SPDX-License-Identifier: MIT
#include "headless/safe_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "headless/quoted.h"
#include "headless/signals_held.h"

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

// Sets the permission bits of the open file `fd`: 0, or why it failed. A file system that keeps
// no modes (FAT, some FUSE file systems) refuses: its file keeps what it gives, as cp leaves it.
int setMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0 || errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP ||
        errno == EPERM) {
        return 0;
    }
    return errno;
}

// The file a regular file's `path` leads to, links followed one by one (to a name that does not
// exist yet too). Empty, with `error` set (naming `name`), where no file can be written.
std::string followLinks(const std::string& name, const std::string& path, std::string& error) {
    std::string file = path;
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

// Tries this process's temporary names in `folder` one after another until `make` (given one)
// returns 0 or more, or fails (-1) for another reason than a file of that name: its result, with
// `named` set to the name it took, or cleared.
template <typename Make>
int withTemporaryName(const std::string& folder, std::string& named, const Make& make) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06x", (counter++ * 2654435761u) & 0xFFFFFFu);
        named = folder + "/" + temporaryPrefix() + suffix;
        const int result = make(named);
        if (result >= 0 || errno != EEXIST) {
            if (result < 0) {
                named.clear();
            }
            return result;
        }
    }
    named.clear();
    errno = EEXIST;
    return -1;
}

// A new file in `folder` to fill before it takes the final name: an unnamed one (O_TMPFILE),
// which nothing can leave behind, where the file system has them; else one with a temporary
// name, set in `named`. It is made with `mode`, less the umask or as the folder's default ACL
// has it, as the kernel makes any new file.
int openTemporary(const std::string& folder, std::string& named, bool unnamedToo, mode_t mode) {
    named.clear();
#ifdef O_TMPFILE
    if (unnamedToo) {
        const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0) {
            return fd;
        }
    }
#endif
    return withTemporaryName(folder, named, [&](const std::string& name) {
        return open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOCTTY | O_CLOEXEC, mode);
    });
}

// Gives the unnamed file `fd` a temporary name in `folder`, through /proc. False, with errno
// set, where it cannot.
bool nameTemporary(int fd, const std::string& folder, std::string& named) {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return withTemporaryName(folder, named, [&](const std::string& name) {
               return linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
           }) == 0;
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

// Why the file at `path` cannot be opened for writing as `>` opens it (without waiting or
// emptying it: it is closed at once), or an empty string: what only an open tells, such as
// "Text file busy" or a device without a driver.
std::string refusedOpening(const std::string& name, const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return failure(name, errno);
    }
    close(fd);
    return {};
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
    // A program that is running (the renderer's own file, named by a slip of the completion)
    // cannot be opened for writing: `>` refuses it with "Text file busy", which only an open
    // tells. Asked of programs alone, whose file a watcher is least likely to mind being opened.
    return (existing.st_mode & 0111) != 0 ? refusedOpening(name, file) : std::string();
}

// A FIFO, a device or a socket, checked as far as it can be before it is written: a socket
// cannot be opened at all, a file the user may not write is refused, and a device is opened (and
// closed) to see that it has a driver. A FIFO is not opened: that waits for its reader.
std::string checkSpecial(const std::string& name, const std::string& path, const struct stat& st) {
    if (S_ISSOCK(st.st_mode)) {
        return failure(name, ENXIO, "it is a socket, which cannot be opened for writing");
    }
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        return failure(name, errno);
    }
    return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? refusedOpening(name, path) : std::string();
}

// What a new file could keep of the owner and group of the file it replaces.
enum class Ownership { Kept, GroupLost, OwnerLost };

// Gives the new file `fd` the owner and group of the file it replaces, where it was not made
// with them. Whether the system allows it is found by trying (root may lack CAP_CHOWN, or be
// root only in a user namespace that does not map the owner), never guessed from the user ID.
Ownership giveOwnership(int fd, const struct stat& replaced) {
    struct stat made;
    if (fstat(fd, &made) != 0) {
        return Ownership::OwnerLost;
    }
    if ((made.st_uid == replaced.st_uid && made.st_gid == replaced.st_gid) ||
        fchown(fd, replaced.st_uid, replaced.st_gid) == 0) {
        return Ownership::Kept;
    }
    return made.st_uid == replaced.st_uid ? Ownership::GroupLost : Ownership::OwnerLost;
}

// The name of the access ACL as the kernel keeps it, the same bytes libacl's acl_get_file and
// acl_set_fd pass: copied whole, it needs no reading.
constexpr const char* kAccessAcl = "system.posix_acl_access";

// Gives the new file `fd` the permission bits `mode` (without setuid, setgid and sticky) and the
// access ACL of the file `replaced` it replaces, or none where it had none (the folder's default
// ACL may have given the new file one). Where an ACL cannot be kept, only the owner keeps
// rights: the mode's group bits are then the ACL's mask, which can be more than the group had.
// 0, or why it failed.
int givePermissions(int fd, const std::string& replaced, mode_t mode) {
    std::vector<char> acl;
    ssize_t size = getxattr(replaced.c_str(), kAccessAcl, nullptr, 0);
    if (size > 0) {
        acl.resize(static_cast<std::size_t>(size));
        size = getxattr(replaced.c_str(), kAccessAcl, acl.data(), acl.size());
    }
    if (size <= 0) {
        fremovexattr(fd, kAccessAcl); // (none there, or none kept here: nothing to take away)
        return setMode(fd, mode);
    }
    if (const int reason = setMode(fd, mode); reason != 0) {
        return reason;
    }
    if (fsetxattr(fd, kAccessAcl, acl.data(), static_cast<std::size_t>(size), 0) != 0) {
        return setMode(fd, mode & 0700);
    }
    return 0;
}

// Whether `folder` is in /proc or /sys, whose files the kernel makes.
bool kernelFolder(const std::string& folder) {
    struct statfs fs;
    return statfs(folder.c_str(), &fs) == 0 &&
           (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC);
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
    const struct stat* replaced = nullptr;
    if (lstat(place.file.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            return failure(name, EISDIR);
        }
        if (const std::string refused = checkExisting(name, place.file, existing, folderStat);
            !refused.empty()) {
            return refused;
        }
        place.identity = identityOf(existing);
        replaced = &existing;
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
    const int fd = openTemporary(folder, named, true, 0600);
    // Another user's file that no new file can take the place of (the folder is not the
    // user's to write, or its owner cannot be given back) is written in place, as `>` does.
    if (fd < 0) {
        const int reason = errno;
        if (replaced != nullptr && replaced->st_uid != geteuid()) {
            place.way = OutputPlace::Way::Rewrite;
            return {};
        }
        return failure(name, reason,
                       kernelFolder(folder) ? "it is in /proc or /sys, where the kernel's files "
                                              "cannot be replaced and none can be made"
                                            : "");
    }
    const int reason = setMode(fd, 0600);
    if (reason == 0 && replaced != nullptr &&
        giveOwnership(fd, *replaced) == Ownership::OwnerLost) {
        place.way = OutputPlace::Way::Rewrite;
    }
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

// Gives the filled temporary file the permission bits and ACL of the file it replaces, and puts
// it on the disk: 0, or why it failed. A new file keeps what the kernel made it with. Where the
// replaced file's group could not be kept (the user's own file of a group they are not in), the
// new file's group has no rights: it is another group, which had none.
int finishTemporary(int fd, const std::string& file, const struct stat* replaced,
                    Ownership owned) {
    if (replaced != nullptr) {
        const int reason = givePermissions(fd, file, replaced->st_mode & 0777);
        if (reason != 0) {
            return reason;
        }
        struct stat now;
        if (owned == Ownership::GroupLost && fstat(fd, &now) == 0) {
            if (const int stripped = setMode(fd, now.st_mode & 0707); stripped != 0) {
                return stripped;
            }
        }
    }
    return fsync(fd) != 0 ? errno : 0;
}

// Puts a rename in `folder` on the disk: the folder synced, or where it cannot be opened (one
// the user may write but not read) the whole file system that `fd`, a file in it, is on.
void syncFolder(const std::string& folder, int fd) {
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    } else {
        syncfs(fd);
    }
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
        // A replacement is made private, then given the replaced file's permissions; a new
        // file is made as `>` makes it.
        const int fd = openTemporary(folder, named, unnamedToo, exists ? 0600 : 0666);
        const Ownership owned =
            fd < 0 ? Ownership::OwnerLost : exists ? giveOwnership(fd, existing) : Ownership::Kept;
        if (exists && existing.st_uid != geteuid() && owned == Ownership::OwnerLost) {
            // Another user's file that no new file can take the place of: written in place, as
            // `>` writes it.
            if (fd >= 0) {
                if (!named.empty()) {
                    unlink(named.c_str());
                }
                close(fd);
            }
            return writeInPlace(name, place.file, write, true);
        }
        if (fd < 0) {
            return failure(name, errno);
        }
        int reason = fill(fd, write);
        if (reason == 0) {
            reason = finishTemporary(fd, place.file, exists ? &existing : nullptr, owned);
        }
        std::string leftOver;
        if (reason == 0 && named.empty() && !nameTemporary(fd, folder, named)) {
            // No /proc to name it through: written again under a temporary name.
            close(fd);
            continue;
        }
        if (reason == 0 && std::rename(named.c_str(), place.file.c_str()) != 0) {
            reason = errno;
        }
        if (reason != 0 && !named.empty() && unlink(named.c_str()) != 0) {
            leftOver = " (its temporary file " + quotedName(baseOf(named)) +
                       " could not be taken away: it is left in the folder)";
        }
        if (reason == 0) {
            // The rename itself is on the disk once the folder is.
            syncFolder(folder, fd);
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
        return reason == 0 ? std::string() : failure(name, reason) + leftOver;
    }
    return failure(name, EIO);
}

// Why standard output or standard error (`descriptor`) cannot be written, or an empty string.
// One that was closed when the program started is open for reading only (on /dev/null).
std::string unwritableStream(const std::string& name, int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) {
        return {};
    }
    return failure(name, EBADF,
                   descriptor == STDOUT_FILENO ? "standard output is closed or read-only"
                                               : "standard error is closed or read-only");
}

// findOutputPlace for the name `path` (`name` in messages), with or without making a file in the
// folder of one to replace.
std::string locate(const std::string& name, const std::string& path, OutputPlace& place,
                   bool probe) {
    place = OutputPlace{};
    if (name == "-") {
        place.way = OutputPlace::Way::Descriptor;
        place.descriptor = STDOUT_FILENO;
        struct stat st;
        place.identity = fstat(STDOUT_FILENO, &st) == 0 ? identityOf(st) : "-";
        return unwritableStream(name, STDOUT_FILENO);
    }
    // Every link on the way, checked as the kernel's rule would, whatever it leads to.
    std::string error;
    const std::string file = followLinks(name, path, error);
    if (!error.empty()) {
        return error;
    }
    // What the kernel finds at the name: the program's own output, a special file, or a
    // regular file (or none yet), which is replaced.
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        const int stream = standardStreamOf(st);
        if (stream >= 0) {
            place.way = OutputPlace::Way::Descriptor;
            place.descriptor = stream;
            place.identity = identityOf(st);
            return unwritableStream(name, stream);
        }
        if (S_ISDIR(st.st_mode)) {
            return failure(name, EISDIR);
        }
        if (!S_ISREG(st.st_mode) || st.st_nlink == 0) {
            // A special file, or a file open but deleted that only the name reaches
            // (/proc/self/fd/N): written through the name, as it is.
            place.way = S_ISREG(st.st_mode) ? OutputPlace::Way::Rewrite : OutputPlace::Way::InPlace;
            place.file = path;
            place.identity = identityOf(st);
            return probe && !S_ISREG(st.st_mode) ? checkSpecial(name, path, st) : std::string();
        }
    } else if (errno == ELOOP) {
        return failure(name, ELOOP, "it is a symbolic link that leads round in a loop");
    } else if (errno != ENOENT) {
        return failure(name, errno);
    }
    place.way = OutputPlace::Way::Replace;
    place.file = file;
    struct stat folder;
    if (place.file != path && stat(folderOf(place.file).c_str(), &folder) != 0) {
        return failure(name, errno, "it is a symbolic link that leads nowhere");
    }
    return checkReplace(name, place, probe);
}

} // namespace

std::string findOutputPlace(const std::string& name, OutputPlace& place) {
    const std::string error = locate(name, name, place, true);
    if (error.empty() && !place.file.empty() && place.way != OutputPlace::Way::InPlace) {
        // Held by a handle that reaches it without reading it (one the user may write only).
        const int fd = open(folderOf(place.file).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            place.folder = std::shared_ptr<const int>(new int(fd), [](const int* held) {
                close(*held);
                delete held;
            });
            place.base = baseOf(place.file);
        }
    }
    return error;
}

OutputFile::OutputFile(std::string given, const OutputPlace& place)
    : name(std::move(given)), folder(place.folder), base(place.base) {}

std::string checkWritable(const std::string& name) {
    OutputPlace place;
    return findOutputPlace(name, place);
}

namespace {

// The process works in the folder `folder` (a descriptor) while it lives, and back where it was
// when it goes, so that a name in that folder is reached by itself: with /proc or without,
// however long the folder's path, wherever it was moved to. (The working folder is the whole
// process's: files are saved between frames, while no other thread looks up a name.)
class WorkingIn {
  public:
    explicit WorkingIn(int folder)
        : previous_(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)),
          entered_(previous_ >= 0 && fchdir(folder) == 0) {}
    ~WorkingIn() {
        if (entered_ && fchdir(previous_) != 0) {
            // (The folder held open cannot go away: nothing more to do.)
        }
        if (previous_ >= 0) {
            close(previous_);
        }
    }
    WorkingIn(const WorkingIn&) = delete;
    WorkingIn& operator=(const WorkingIn&) = delete;
    bool entered() const { return entered_; }

  private:
    int previous_;
    bool entered_;
};

// Whether the folder held by `folder` was deleted since it was found.
bool deletedFolder(int folder) {
    struct stat st;
    return fstat(folder, &st) == 0 && st.st_nlink == 0;
}

} // namespace

std::string writeFileSafely(const OutputFile& file, const std::function<bool(std::FILE*)>& write,
                            std::string* notice) {
    const std::string& name = file.name;
    // In the folder held since the file was found, as with a file `>` opened at the start. One
    // deleted since (a build script's `rm -rf out && mkdir out`) is gone for good: the name is
    // followed again, and checked as it was before the first frame.
    std::string path = name;
    bool probe = false;
    std::optional<WorkingIn> inFolder;
    if (file.folder != nullptr && deletedFolder(*file.folder)) {
        probe = true;
        if (notice != nullptr) {
            *notice = "the folder " + quotedName(name) + " was found in is gone: written to " +
                      quotedName(name) + " as it leads now";
        }
    } else if (file.folder != nullptr && inFolder.emplace(*file.folder).entered()) {
        path = file.base;
    }
    OutputPlace place;
    const std::string error = locate(name, path, place, probe);
    if (!error.empty()) {
        return error;
    }
    switch (place.way) {
    case OutputPlace::Way::Descriptor:
        return writeToDescriptor(name, place.descriptor, write);
    case OutputPlace::Way::InPlace: {
        const StopSignalsLet let; // (its reader may never come)
        return writeInPlace(name, place.file, write, false);
    }
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
