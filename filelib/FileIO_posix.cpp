// FileIO.h on Linux. Every call is relative to an opened folder (openat, fstatat, ...), so that
// paths of any length work and a name is looked up once: Load keeps the folder and the file
// open, and Save works from them instead of looking the path up again.
#include "filelib/FileIO.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "base/LongPath.h"

namespace wekio {

struct LoadedFile {
    int dir = -1;               // the folder that holds the file's name
    std::string leaf;           // that name
    int fd = -1;                // the file, open for reading: its inode cannot be reused meanwhile
    bool throughLink = false;   // the loaded path named a symbolic link
    bool linkOwnersMatch = true;  // every link on the way belongs to the file's owner
    ~LoadedFile() {
        if (fd >= 0) close(fd);
        if (dir >= 0) close(dir);
    }
};

void LoadedFileDeleter::operator()(LoadedFile* file) const { delete file; }

namespace {

using quorvel::posix::OpenDirectory;
using quorvel::posix::OpenParentDirectory;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Same limit as the kernel's for nested links.
constexpr int kMaxLinkHops = 40;
constexpr std::size_t kChunk = std::size_t{1} << 20;

// Owns a descriptor; closes it when it goes out of scope, keeping errno as it was.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (m_fd >= 0) {
            const int saved = errno;
            close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// True when the test seam wants `stage` to fail; sets errno like a failed call would.
bool Injected(WekSaveStage stage) {
    if (!SaveFailsForTest(stage)) return false;
    errno = EIO;
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True for root and for a process that may override file permissions or ownership checks:
// such a process must not be steered by links that other users own.
bool Privileged() {
    if (geteuid() == 0) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const auto has = [&](int cap) { return ((data[cap / 32].effective >> (cap % 32)) & 1u) != 0; };
    return has(CAP_FOWNER) || has(CAP_DAC_OVERRIDE);
}

bool WriteAll(int fd, const char* data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = std::min(size - done, std::size_t{1} << 30);
        const ssize_t n = pwrite(fd, data + done, chunk, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Copies the whole content of `from` into `to` from offset 0 and cuts `to` to that length;
// `size` receives it.
bool CopyContent(int from, int to, std::uint64_t& size) {
    std::vector<char> buffer(kChunk);
    size = 0;
    while (true) {
        const ssize_t n = pread(from, buffer.data(), buffer.size(), static_cast<off_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n), static_cast<off_t>(size))) return false;
        size += static_cast<std::uint64_t>(n);
    }
    return ftruncate(to, static_cast<off_t>(size)) == 0;
}

// Makes renames, links and removals in the folder durable. EINVAL and ENOTSUP only say that this
// file system cannot flush folders, which is no failure.
bool FlushFolder(int dir) { return fsync(dir) == 0 || errno == EINVAL || errno == ENOTSUP; }

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

// A path looked up once: the folder that holds its final name, opened, and that name.
struct Found {
    Fd dir;
    std::string leaf;
    bool exists = false;       // the final name exists; `st` is its own status then
    struct stat st {};
    bool throughLink = false;  // at least one symbolic link was followed to get here
    std::vector<uid_t> linkOwners;
};

// Looks `path` up: its folders are followed as the kernel follows them, then symbolic links
// at the end (at most 40; relative link text is relative to the link's folder). Returns
// WEK_OK with the final, non-link name (which need not exist), or WEK_ERR_OPEN.
// Follows `f.leaf` in the open folder `f.dir` to its final, non-link name, as Resolve does.
int ResolveFromFolder(Found& f) {
    for (int hop = 0;; ++hop) {
        if (fstatat(f.dir.Get(), f.leaf.c_str(), &f.st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return WEK_ERR_OPEN;
            f.exists = false;
            return WEK_OK;
        }
        f.exists = true;
        if (!S_ISLNK(f.st.st_mode)) return WEK_OK;
        if (hop == kMaxLinkHops) return WEK_ERR_OPEN;
        f.throughLink = true;
        f.linkOwners.push_back(f.st.st_uid);
        std::string text;
        if (!ReadLinkText(f.dir.Get(), f.leaf, text) || text.empty() || text.back() == '/') return WEK_ERR_OPEN;
        const std::size_t slash = text.rfind('/');
        if (slash == std::string::npos) {
            f.leaf = text;
            continue;
        }
        // Link text is at most PATH_MAX long, so one openat() takes its folder part.
        const std::string folder = text.substr(0, slash);
        Fd next(text[0] == '/' ? OpenDirectory(folder) : openat(f.dir.Get(), folder.c_str(), kDirFlags));
        if (!next.Valid()) return WEK_ERR_OPEN;
        f.dir = std::move(next);
        f.leaf = text.substr(slash + 1);
    }
}

int Resolve(const std::string& path, Found& f) {
    // A trailing slash asks for a folder; a file is never one.
    if (path.empty() || path.back() == '/') return WEK_ERR_OPEN;
    f.dir.Reset(OpenParentDirectory(path, f.leaf));
    if (!f.dir.Valid()) return WEK_ERR_OPEN;
    return ResolveFromFolder(f);
}

bool LinkOwnersMatch(const Found& f, uid_t owner) {
    return std::all_of(f.linkOwners.begin(), f.linkOwners.end(), [&](uid_t uid) { return uid == owner; });
}

// Opens `leaf` in `dir`, whose status `seen` was just read, with `access` (O_RDONLY or O_RDWR),
// and makes sure that what opens is that very regular file: a name swapped meanwhile for a
// device, a pipe or a link is never opened. `st` receives the open file's status. Returns the
// descriptor, or -1 with errno set (ESTALE: the name holds something else now).
int OpenChecked(int dir, const std::string& leaf, const struct stat& seen, int access, struct stat& st) {
    if (!S_ISREG(seen.st_mode)) {
        errno = ESTALE;
        return -1;
    }
    // An O_PATH descriptor opens nothing (no driver, no pipe end). Once it is known to be that
    // regular file, reopening it through /proc opens that very inode, so nothing can be swapped
    // in between.
    Fd path(openat(dir, leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!path.Valid()) return -1;
    if (fstat(path.Get(), &st) != 0) return -1;
    if (!SameFile(st, seen)) {
        errno = ESTALE;
        return -1;
    }
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", path.Get());
    const int fd = open(proc, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return fd;

    // No /proc: open the name again without following a link (a pipe cannot block, a terminal
    // cannot become ours) and check what opened.
    Fd file(openat(dir, leaf.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (!file.Valid()) return -1;
    if (fstat(file.Get(), &st) != 0) return -1;
    if (!SameFile(st, seen)) {
        errno = ESTALE;
        return -1;
    }
    return file.Release();
}

// Reads the first `limit` bytes of the open file `fd` of size `size`.
int ReadOpenFile(int fd, std::uint64_t size, std::uint64_t limit, std::string& out) {
    // The size seen now bounds both the buffer and the reading; a file that grows meanwhile is
    // read as it was, and one that shrinks is read as far as it goes.
    const std::uint64_t want = std::min(limit, size);
    if (want > out.max_size()) return WEK_ERR_READ;
    try {
        out.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return WEK_ERR_READ;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t chunk = std::min<std::size_t>(out.size() - done, std::size_t{1} << 30);
        const ssize_t n = read(fd, out.data() + done, chunk);
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

// True when the existing file `leaf` (status `st`) must not be rewritten: it has no write
// permission bit at all, or the caller may not write it (e.g. a read-only file system).
bool IsReadOnly(int dir, const std::string& leaf, const struct stat& st) {
    // The superuser may write anything, so access() alone would never call a file read-only;
    // a file without any write bit is taken as the user's wish that it stays as it is.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return faccessat(dir, leaf.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 &&
           (errno == EACCES || errno == EPERM || errno == EROFS);
}

// The status for a new file the folder refused: a folder that takes no new file (no
// permission, full) can take neither a temporary file nor a backup copy.
int RefusedNewFile(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC || error == EDQUOT
               ? WEK_ERR_NO_COPY
               : WEK_ERR_WRITE;
}

std::string TemporaryName() {
    static std::atomic<unsigned> counter{0};
    return ".olvsave-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

// The new file a save writes before it takes the original's place. Unnamed (O_TMPFILE) where
// the file system allows it, so that a killed save leaves nothing; otherwise, and from the
// moment it is linked in, named TemporaryName(). Removed when it goes out of scope unless kept.
struct Temporary {
    int dir = -1;
    Fd fd;
    std::string name;  // empty while unnamed

    ~Temporary() { Discard(); }
    void Discard() {
        if (!name.empty()) unlinkat(dir, name.c_str(), 0);
        name.clear();
        fd.Reset();
    }
};

// Creates `t` in `dir` with permission bits `mode`; false with errno set.
bool CreateTemporary(int dir, mode_t mode, Temporary& t) {
    t.dir = dir;
    if (Injected(WEK_STAGE_CREATE)) return false;
    if (!SaveFailsForTest(WEK_STAGE_UNNAMED)) {
        t.fd.Reset(openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
        if (t.fd.Valid()) return true;
        // Only a file system without unnamed files makes us fall back to a named one.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    // A short hidden name of our own, so that a long original name cannot push it past NAME_MAX.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = TemporaryName();
        t.fd.Reset(openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (t.fd.Valid()) {
            t.name = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Gives the unnamed file `t` the name `name` in its folder; fails (EEXIST) when the name is taken.
bool LinkUnnamed(Temporary& t, const std::string& name) {
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", t.fd.Get());
    if (linkat(AT_FDCWD, proc, t.dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    // Without /proc, AT_EMPTY_PATH does the same for privileged processes.
    return errno == ENOENT && linkat(t.fd.Get(), "", t.dir, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Names an unnamed temporary file; a named one keeps its name.
bool NameTemporary(Temporary& t) {
    for (int attempt = 0; t.name.empty() && attempt < 100; ++attempt) {
        std::string name = TemporaryName();
        if (LinkUnnamed(t, name)) t.name = std::move(name);
        else if (errno != EEXIST) return false;
    }
    return !t.name.empty();
}

// The names of the extended attributes of `fd` that the process can see. False when they cannot
// be listed; none on a file system without them.
bool ListAttributes(int fd, std::vector<std::string>& names) {
    names.clear();
    std::vector<char> buffer;
    while (true) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) return errno == ENOTSUP;
        if (size == 0) return true;
        buffer.resize(static_cast<std::size_t>(size));
        const ssize_t n = flistxattr(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == ERANGE) continue;  // grew meanwhile
        if (n < 0) return false;
        for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
            const std::size_t end = std::find(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                                              buffer.begin() + n, '\0') - buffer.begin();
            if (end > at) names.emplace_back(buffer.data() + at, end - at);
            at = end + 1;
        }
        return true;
    }
}

bool GetAttribute(int fd, const std::string& name, std::string& value) {
    while (true) {
        const ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0) return false;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t n = fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return false;
        value.resize(static_cast<std::size_t>(n));
        return true;
    }
}

enum class Carried { All, NotAll, Failed };

// Makes the extended attributes of `to` those of `from`, ACLs included: what the new file got
// from its folder (a default ACL) and the original lacks goes, what the original has is set.
Carried CopyAttributes(int from, int to) {
    std::vector<std::string> wanted, present;
    if (!ListAttributes(from, wanted) || !ListAttributes(to, present)) return Carried::NotAll;
    for (const std::string& name : present) {
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
        // A security label is the system's to assign; the original's replaces it below if it has one.
        if (fremovexattr(to, name.c_str()) != 0 && name.rfind("security.", 0) != 0) return Carried::NotAll;
    }
    for (const std::string& name : wanted) {
        std::string value;
        if (!GetAttribute(from, name, value)) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return Carried::NotAll;
        }
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return Carried::NotAll;
    }
    return Carried::All;
}

// Gives the new file `to` the owner, group, extended attributes and permission bits of the
// original `from` (status `st`). NotAll: the process cannot give it all of them.
Carried CarryMetadata(int from, const struct stat& st, int to) {
    struct stat now;
    if (fstat(to, &now) != 0) return Carried::Failed;
    if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) && fchown(to, st.st_uid, st.st_gid) != 0)
        return Carried::NotAll;
    // Attributes after the owner (chown drops file capabilities), permission bits last: they
    // also set an ACL's mask, which the original's bits already show, and chown may clear set-id bits.
    const Carried attributes = CopyAttributes(from, to);
    if (attributes != Carried::All) return attributes;
    if (Injected(WEK_STAGE_PERMISSIONS) || fchmod(to, st.st_mode & 07777) != 0) return Carried::Failed;
    if (fstat(to, &now) != 0) return Carried::Failed;
    return now.st_uid == st.st_uid && now.st_gid == st.st_gid && (now.st_mode & 07777) == (st.st_mode & 07777)
               ? Carried::All
               : Carried::NotAll;
}

// Puts the flushed temporary file `t` in the place of `leaf`, which must still hold the file
// `original`; never creates `leaf` and never follows a link.
int SwapIn(Temporary& t, const std::string& leaf, const struct stat& original) {
    if (!NameTemporary(t) || Injected(WEK_STAGE_RENAME)) return WEK_ERR_WRITE;
    const int dir = t.dir;
    if (renameat2(dir, t.name.c_str(), dir, leaf.c_str(), RENAME_EXCHANGE) == 0) {
        // One step swaps the names, and only an existing name can be swapped. What came out
        // must be the original; anything else swapped in just before goes back untouched.
        struct stat out;
        if (fstatat(dir, t.name.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(out, original)) {
            unlinkat(dir, t.name.c_str(), 0);
            t.name.clear();
            return WEK_OK;
        }
        if (renameat2(dir, t.name.c_str(), dir, leaf.c_str(), RENAME_EXCHANGE) != 0) t.name.clear();
        return WEK_ERR_CHANGED;
    }
    if (errno == ENOENT) return WEK_ERR_CHANGED;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return WEK_ERR_WRITE;

    // This file system cannot swap names: check just before renaming over the name.
    struct stat now;
    if (fstatat(dir, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, original))
        return WEK_ERR_CHANGED;
    if (renameat(dir, t.name.c_str(), dir, leaf.c_str()) != 0) return WEK_ERR_WRITE;
    t.name.clear();
    return WEK_OK;
}

// Writes `data` over the open file `fd` from its start, cuts it there and flushes it.
bool Overwrite(int fd, const std::string& data) {
    if (SaveFailsForTest(WEK_STAGE_OVERWRITE)) {
        // Fails as a full disk would: halfway through.
        WriteAll(fd, data.data(), data.size() / 2, 0);
        errno = EIO;
        return false;
    }
    return WriteAll(fd, data.data(), data.size(), 0) && ftruncate(fd, static_cast<off_t>(data.size())) == 0 &&
           fsync(fd) == 0;
}

// Rewrites `leaf` in `dir` (status `st`) in place, so that it keeps its inode and with it every
// hard link, its owner and its attributes; a flushed copy of the original lies beside it while
// it is being overwritten.
int RewriteInPlace(int dir, const std::string& leaf, const struct stat& st, const std::string& data) {
    struct stat now;
    Fd file(OpenChecked(dir, leaf, st, O_RDWR, now));
    if (!file.Valid()) {
        if (errno == ESTALE || errno == ENOENT || errno == ELOOP) return WEK_ERR_CHANGED;
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY) return WEK_ERR_READ_ONLY;
        return WEK_ERR_WRITE;
    }
    const std::string copyName = WekBackupCopyName(leaf);
    // O_EXCL: an earlier copy still there may be the only good content the user has.
    Fd copy(openat(dir, copyName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!copy.Valid()) return WEK_ERR_NO_COPY;
    const auto removeCopy = [&] {
        copy.Reset();
        unlinkat(dir, copyName.c_str(), 0);
        FlushFolder(dir);
    };
    std::uint64_t size = 0;
    if (!CopyContent(file.Get(), copy.Get(), size) || Injected(WEK_STAGE_COPY)) {
        removeCopy();
        return WEK_ERR_NO_COPY;
    }
    // The copy is the user's to restore from: it gets the owner, group and read bits of the
    // original where the process can give them, and no one's write bit but the owner's.
    static_cast<void>(fchown(copy.Get(), st.st_uid, st.st_gid));
    static_cast<void>(fchmod(copy.Get(), st.st_mode & 0644));
    if (fsync(copy.Get()) != 0 || !FlushFolder(dir)) {
        removeCopy();
        return WEK_ERR_NO_COPY;
    }

    if (Overwrite(file.Get(), data)) {
        removeCopy();
        return WEK_OK;
    }
    std::uint64_t restored = 0;
    if (!Injected(WEK_STAGE_RESTORE) && CopyContent(copy.Get(), file.Get(), restored) && restored == size &&
        fsync(file.Get()) == 0) {
        removeCopy();
        return WEK_ERR_WRITE;
    }
    return WEK_ERR_SEE_COPY;
}

// Gives the regular file `leaf` in `dir` (open as `original`, status `st`) the content `data`:
// through a new file swapped in where that keeps everything it has, in place otherwise.
// `replaced` receives the new file once it holds the name.
int Rewrite(int dir, const std::string& leaf, int original, const struct stat& st, const std::string& data,
            Fd& replaced) {
    // A new file would leave the other names of the file with the old content.
    if (st.st_nlink > 1) return RewriteInPlace(dir, leaf, st, data);
    Temporary temp;
    if (!CreateTemporary(dir, 0600, temp)) return RefusedNewFile(errno);
    if (Injected(WEK_STAGE_WRITE) || !WriteAll(temp.fd.Get(), data.data(), data.size(), 0)) return WEK_ERR_WRITE;
    switch (CarryMetadata(original, st, temp.fd.Get())) {
    case Carried::Failed: return WEK_ERR_WRITE;
    case Carried::NotAll:
        temp.Discard();
        return RewriteInPlace(dir, leaf, st, data);
    case Carried::All: break;
    }
    if (Injected(WEK_STAGE_FSYNC) || fsync(temp.fd.Get()) != 0) return WEK_ERR_WRITE;
    const int status = SwapIn(temp, leaf, st);
    if (status != WEK_OK) return status;
    replaced = std::move(temp.fd);
    // The new content is in place; only its durability is in doubt when the flush fails.
    return FlushFolder(dir) ? WEK_OK : WEK_ERR_WRITE;
}

// Creates the missing name `leaf` in `dir` with `data`; never replaces anything that appears
// there meanwhile.
int CreateNew(int dir, const std::string& leaf, const std::string& data) {
    Temporary temp;
    if (!CreateTemporary(dir, 0666, temp)) return RefusedNewFile(errno);
    if (Injected(WEK_STAGE_WRITE) || !WriteAll(temp.fd.Get(), data.data(), data.size(), 0)) return WEK_ERR_WRITE;
    if (Injected(WEK_STAGE_FSYNC) || fsync(temp.fd.Get()) != 0) return WEK_ERR_WRITE;
    if (Injected(WEK_STAGE_RENAME)) return WEK_ERR_WRITE;
    if (temp.name.empty()) {
        if (!LinkUnnamed(temp, leaf)) return errno == EEXIST ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
    } else {
        if (renameat2(dir, temp.name.c_str(), dir, leaf.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) return WEK_ERR_CHANGED;
            if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return WEK_ERR_WRITE;
            // Without RENAME_NOREPLACE, link() refuses an existing name just as well.
            if (linkat(dir, temp.name.c_str(), dir, leaf.c_str(), 0) != 0)
                return errno == EEXIST ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
            unlinkat(dir, temp.name.c_str(), 0);
        }
        temp.name.clear();
    }
    return FlushFolder(dir) ? WEK_OK : WEK_ERR_WRITE;
}


// Reads the file `f` found; with `keep`, stores what was found there.
int ReadFound(Found& f, std::uint64_t limit, std::string& out, LoadedFilePtr* keep) {
    if (!f.exists) return WEK_ERR_OPEN;
    struct stat st;
    Fd file(OpenChecked(f.dir.Get(), f.leaf, f.st, O_RDONLY, st));
    if (!file.Valid()) return WEK_ERR_OPEN;
    const int status = ReadOpenFile(file.Get(), static_cast<std::uint64_t>(st.st_size), limit, out);
    if (status != WEK_OK || !keep) return status;
    try {
        LoadedFilePtr kept(new LoadedFile);
        kept->leaf = f.leaf;
        kept->dir = f.dir.Release();
        kept->fd = file.Release();
        kept->throughLink = f.throughLink;
        kept->linkOwnersMatch = LinkOwnersMatch(f, st.st_uid);
        *keep = std::move(kept);
    } catch (const std::exception&) {
        out.clear();
        return WEK_ERR_READ;
    }
    return WEK_OK;
}

// The probe's common case, with the fewest calls: the entry `name` of `dir` (AT_FDCWD: a path
// the kernel takes whole) is no link. Its type is checked before anything is opened, the open
// follows no link at the end and cannot block or take a terminal, and what opened must be the
// file just looked at. False when `name` is a link, which the caller then resolves.
bool ReadUnlessLink(int dir, const char* name, std::uint64_t limit, std::string& out, int& status) {
    struct stat seen, st;
    if (fstatat(dir, name, &seen, AT_SYMLINK_NOFOLLOW) != 0) {
        status = WEK_ERR_OPEN;
        return true;
    }
    if (S_ISLNK(seen.st_mode)) return false;
    status = WEK_ERR_OPEN;
    if (!S_ISREG(seen.st_mode)) return true;
    Fd file(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid() || fstat(file.Get(), &st) != 0 || !SameFile(st, seen)) return true;
    status = ReadOpenFile(file.Get(), static_cast<std::uint64_t>(st.st_size), limit, out);
    return true;
}

}  // namespace

int ReadFile(const std::string& path, std::uint64_t limit, std::string& out, LoadedFilePtr* keep) {
    out.clear();
    int status = WEK_OK;
    if (!keep && !path.empty() && path.size() < PATH_MAX && path.back() != '/' &&
        ReadUnlessLink(AT_FDCWD, path.c_str(), limit, out, status))
        return status;
    Found f;
    if (Resolve(path, f) != WEK_OK) return WEK_ERR_OPEN;
    return ReadFound(f, limit, out, keep);
}

int ReadFileAt(int folder, const std::string& name, std::uint64_t limit, std::string& out, LoadedFilePtr* keep) {
    out.clear();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return WEK_ERR_OPEN;
    int status = WEK_OK;
    if (!keep && ReadUnlessLink(folder, name.c_str(), limit, out, status)) return status;
    Found f;
    f.dir.Reset(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    f.leaf = name;
    if (!f.dir.Valid() || ResolveFromFolder(f) != WEK_OK) return WEK_ERR_OPEN;
    return ReadFound(f, limit, out, keep);
}

int SaveLoaded(LoadedFile& file, const std::string& data) {
    if (file.throughLink && !file.linkOwnersMatch && Privileged()) return WEK_ERR_LINK_OWNER;
    struct stat loaded, now;
    if (fstat(file.fd, &loaded) != 0) return WEK_ERR_WRITE;
    if (fstatat(file.dir, file.leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
    if (!SameFile(now, loaded)) return WEK_ERR_CHANGED;
    if (IsReadOnly(file.dir, file.leaf, now)) return WEK_ERR_READ_ONLY;
    Fd replaced;
    const int status = Rewrite(file.dir, file.leaf, file.fd, now, data, replaced);
    // From now on the name holds the new file: a later save checks against that one.
    if (replaced.Valid()) {
        close(file.fd);
        file.fd = replaced.Release();
    }
    return status;
}

int SaveToPath(const std::string& path, const std::string& data) {
    Found f;
    if (Resolve(path, f) != WEK_OK) return WEK_ERR_WRITE;
    // A link that points nowhere could make us create a file wherever its owner chose.
    if (!f.exists) return f.throughLink ? WEK_ERR_WRITE : CreateNew(f.dir.Get(), f.leaf, data);
    if (!S_ISREG(f.st.st_mode)) return WEK_ERR_WRITE;
    if (!LinkOwnersMatch(f, f.st.st_uid) && Privileged()) return WEK_ERR_LINK_OWNER;
    if (IsReadOnly(f.dir.Get(), f.leaf, f.st)) return WEK_ERR_READ_ONLY;
    struct stat st;
    Fd original(OpenChecked(f.dir.Get(), f.leaf, f.st, O_RDONLY, st));
    if (!original.Valid()) return errno == ESTALE || errno == ENOENT ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
    Fd replaced;
    return Rewrite(f.dir.Get(), f.leaf, original.Get(), st, data, replaced);
}

bool ProcessIsGone(std::uint64_t pid) {
    if (pid == 0 || pid > static_cast<std::uint64_t>(INT_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace wekio
