// FileIO.h on POSIX systems. Every call is relative to an opened folder (openat, fstatat, ...)
// so that paths longer than PATH_MAX work.
#include "filelib/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <vector>

#include "base/LongPath.h"

namespace wekio {

namespace {

using quorvel::posix::OpenParentDirectory;

// Closes the descriptor when it goes out of scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Same limit as the kernel's for nested links.
constexpr int kMaxLinkHops = 40;

// True when the test seam wants `stage` to fail; sets errno like a failed call would.
bool InjectedFailure(WekSaveStage stage) {
    if (SaveFailureForTest() != stage) return false;
    errno = EIO;
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        // Some systems refuse single writes of 2 GiB or more.
        const std::size_t chunk = std::min<std::size_t>(data.size() - done, std::size_t{1} << 30);
        const ssize_t n = write(fd, data.data() + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The part of `path` before its last component, with its trailing slash ("" for a bare name).
std::string FolderPrefix(const std::string& path) {
    const std::size_t last = path.find_last_not_of('/');
    const std::size_t slash = last == std::string::npos ? std::string::npos : path.rfind('/', last);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool ReadLinkText(int dirfd, const std::string& leaf, std::string& text) {
    std::vector<char> buf(256);
    while (true) {
        const ssize_t n = readlinkat(dirfd, leaf.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buf.size()) {
            text.assign(buf.data(), static_cast<std::size_t>(n));
            return true;
        }
        // Possibly cut short: try again with more room.
        buf.resize(buf.size() * 2);
    }
}

// Opens `path` for reading: with one call when the kernel takes the path whole (the common
// case, and the cheapest), otherwise through its folder. O_NONBLOCK so that a named pipe
// cannot make the open hang; the caller refuses anything but a regular file.
int OpenForReading(const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (!path.empty() && path.size() < PATH_MAX && path.back() != '/')
        return open(path.c_str(), kFlags);
    std::string leaf;
    Fd dir(OpenParentDirectory(path, leaf));
    return dir.fd < 0 ? -1 : openat(dir.fd, leaf.c_str(), kFlags);
}

}  // namespace

int ReadFileBytes(const std::string& path, std::uint64_t limit, std::string& out) {
    out.clear();
    Fd file(OpenForReading(path));
    if (file.fd < 0) return WEK_ERR_OPEN;
    struct stat st;
    if (fstat(file.fd, &st) != 0) return WEK_ERR_READ;
    if (!S_ISREG(st.st_mode)) return WEK_ERR_OPEN;

    // The size seen now bounds both the buffer and the reading; a file that grows meanwhile is
    // read as it was, and one that shrinks is read as far as it goes.
    const std::uint64_t want = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(st.st_size));
    if (want > out.max_size()) return WEK_ERR_READ;
    try {
        out.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return WEK_ERR_READ;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t chunk = std::min<std::size_t>(out.size() - done, std::size_t{1} << 30);
        const ssize_t n = read(file.fd, out.data() + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.clear();
            return WEK_ERR_READ;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return WEK_OK;
}

int ResolveLinks(const std::string& path, std::string& target) {
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        std::string leaf;
        Fd dir(OpenParentDirectory(current, leaf));
        if (dir.fd < 0) return WEK_ERR_OPEN;
        struct stat st;
        const bool exists = fstatat(dir.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) return WEK_ERR_OPEN;
        if (!exists || !S_ISLNK(st.st_mode)) {
            target = current;
            return WEK_OK;
        }
        std::string text;
        if (!ReadLinkText(dir.fd, leaf, text) || text.empty()) return WEK_ERR_OPEN;
        current = text[0] == '/' ? text : FolderPrefix(current) + text;
    }
    return WEK_ERR_OPEN;
}

bool IsReadOnlyFile(const std::string& path) {
    std::string leaf;
    Fd dir(OpenParentDirectory(path, leaf));
    struct stat st;
    if (dir.fd < 0 || fstatat(dir.fd, leaf.c_str(), &st, 0) != 0) return false;
    // The superuser may write anything, so access() alone would never call a file read-only;
    // a file without any write bit is taken as the user's wish that it stays as it is.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return faccessat(dir.fd, leaf.c_str(), W_OK, AT_EACCESS) != 0 &&
           (errno == EACCES || errno == EPERM || errno == EROFS);
}

int ReplaceFileAtomic(const std::string& path, const std::string& data) {
    std::string leaf;
    Fd dir(OpenParentDirectory(path, leaf));
    if (dir.fd < 0) return WEK_ERR_WRITE;
    struct stat st;
    const bool exists = fstatat(dir.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return WEK_ERR_WRITE;
    // Never replace a folder, a device or a link (links are resolved by the caller).
    if (exists && !S_ISREG(st.st_mode)) return WEK_ERR_WRITE;

    // A short hidden name of our own, so that a long `leaf` cannot push it past NAME_MAX.
    // An existing original's copy starts private (0600) and gets its bits below; a new file
    // gets the usual 0666 less the umask.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = ".olvsave-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
        if (InjectedFailure(WEK_STAGE_CREATE)) return WEK_ERR_WRITE;
        fd = openat(dir.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) return WEK_ERR_WRITE;
    }
    if (fd < 0) return WEK_ERR_WRITE;

    bool ok = !InjectedFailure(WEK_STAGE_WRITE) && WriteAll(fd, data);
    if (ok && exists) {
        // Keeping the owner needs privileges; without them the file becomes the saver's, as any
        // rewrite would, but the group is kept when the saver belongs to it, so that group
        // permission bits still apply to the same people.
        if (fchown(fd, st.st_uid, st.st_gid) != 0)
            static_cast<void>(fchown(fd, static_cast<uid_t>(-1), st.st_gid) == 0);
        // fchmod after fchown, which may clear set-id bits.
        ok = !InjectedFailure(WEK_STAGE_PERMISSIONS) && fchmod(fd, st.st_mode & 07777) == 0;
    }
    ok = ok && !InjectedFailure(WEK_STAGE_FSYNC) && fsync(fd) == 0;
    // close() can report a delayed write error (e.g. on network file systems).
    ok = close(fd) == 0 && ok;
    ok = ok && !InjectedFailure(WEK_STAGE_RENAME) && renameat(dir.fd, temp.c_str(), dir.fd, leaf.c_str()) == 0;
    if (!ok) {
        unlinkat(dir.fd, temp.c_str(), 0);
        return WEK_ERR_WRITE;
    }
    // Makes the rename itself durable. EINVAL and ENOTSUP only say that this file system cannot
    // flush folders, which is no failure of the save.
    if (fsync(dir.fd) == 0 || errno == EINVAL || errno == ENOTSUP) return WEK_OK;
    return WEK_ERR_WRITE;
}

}  // namespace wekio
