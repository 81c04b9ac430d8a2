// FileIO.h on Linux. Every call is relative to an opened folder (openat, fstatat, ...), so that
// paths of any length work and a name is looked up once: Load keeps the folder and the file
// open, and Save works from them instead of looking the path up again.
#include "filelib/FileIO.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/Fd.h"
#include "base/LongPath.h"

namespace wekio {

struct LoadedFile {
    int dir = -1;               // the folder that holds the file's name
    std::string leaf;           // that name
    int fd = -1;                // the file, open for reading: its inode cannot be reused meanwhile
    bool throughLink = false;   // the loaded path named a symbolic link
    bool linkOwnersMatch = true;  // every link on the way belongs to the file's owner
    struct stat loaded {};      // its status when it was opened: a change since shows in it
    bool changeTimeKnown = true;  // false after our own save: its change time is not compared
    ~LoadedFile() {
        if (fd >= 0) close(fd);
        if (dir >= 0) close(dir);
    }
};

void LoadedFileDeleter::operator()(LoadedFile* file) const { delete file; }

namespace {

using quorvel::posix::OpenFolderStepwise;
using quorvel::posix::OpenParentDirectory;
using quorvel::posix::Fd;
using quorvel::posix::ReadLinkText;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr char kAccessAcl[] = "system.posix_acl_access";
constexpr char kCapabilities[] = "security.capability";

// What a file system refused once, remembered per device for the life of the process, so that
// no save asks again (on a share every refused call costs a round trip). Saves run on several
// threads at once: the table has its own lock and is held only to look up or add one entry.
enum Refusal : unsigned {
    kNoUnnamed = 1,     // O_TMPFILE
    kNoExchange = 2,    // renameat2(RENAME_EXCHANGE)
    kNoNoReplace = 4,   // renameat2(RENAME_NOREPLACE)
    kNoAttributes = 8,  // listing extended attributes
    kNoSetAttributes = 16,  // setting extended attributes
};

class Refusals {
public:
    bool Has(dev_t device, unsigned what) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [dev, refused] : m_table)
            if (dev == device) return (refused & what) != 0;
        return false;
    }
    void Add(dev_t device, unsigned what) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [dev, refused] : m_table)
            if (dev == device) {
                refused |= what;
                return;
            }
        try {
            m_table.emplace_back(device, what);
        } catch (const std::exception&) {
            // Not remembered: the next save asks again, which is only slower.
        }
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<dev_t, unsigned>> m_table;
};

Refusals& Refused() {
    static Refusals refusals;
    return refusals;
}

// True for the errors a file system gives for an operation or flag it does not offer.
bool NotOffered(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP; }

// Set once /proc turned out not to be mounted, so that no open tries it again.
std::atomic<bool> g_noProc{false};

// True when the test seam wants `stage` to fail; sets errno like a failed call would.
bool Injected(WekSaveStage stage) {
    if (!SaveFailsForTest(stage)) return false;
    errno = EIO;
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when `now` is the file `then` describes and nothing changed it since: the same size,
// modification time, permissions, owner and group and, with `withChangeTime`, the same change
// time, which anything done to the file moves (a write, new permissions, a new link, a new ACL).
// A rename moves it too, so a file that was just renamed is compared without it.
bool Unchanged(const struct stat& now, const struct stat& then, bool withChangeTime) {
    return SameFile(now, then) && now.st_size == then.st_size && SameTime(now.st_mtim, then.st_mtim) &&
           now.st_mode == then.st_mode && now.st_uid == then.st_uid && now.st_gid == then.st_gid &&
           (!withChangeTime || SameTime(now.st_ctim, then.st_ctim));
}

// statx for `name` in `dir` (flags as fstatat's, links never followed) into `st`: what the
// checks here compare, and never the access time (see StatKnown).
bool StatInto(int dir, const char* name, int flags, struct stat& st) {
    constexpr unsigned kCompared = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO |
                                   STATX_SIZE | STATX_MTIME | STATX_CTIME;
    struct statx x;
    if (statx(dir, name, flags | AT_SYMLINK_NOFOLLOW, kCompared, &x) != 0)
        return errno == ENOSYS && fstatat(dir, name, &st, (flags & ~AT_STATX_SYNC_TYPE) | AT_SYMLINK_NOFOLLOW) == 0;
    st = {};
    st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_mtim = {static_cast<time_t>(x.stx_mtime.tv_sec), static_cast<long>(x.stx_mtime.tv_nsec)};
    st.st_ctim = {static_cast<time_t>(x.stx_ctime.tv_sec), static_cast<long>(x.stx_ctime.tv_nsec)};
    return true;
}

// The status of `name` in `dir` (with AT_EMPTY_PATH: of `dir` itself) as the file system has it
// now, not as a cache remembers it: what the last checks for changes before a file is replaced
// or overwritten compare. The same as fstatat on a local disk; a network or FUSE file system is
// asked again.
bool StatNow(int dir, const char* name, int flags, struct stat& st) {
    return StatInto(dir, name, flags | AT_STATX_FORCE_SYNC, st);
}

bool StatNow(int fd, struct stat& st) { return StatNow(fd, "", AT_EMPTY_PATH, st); }

// The status as the file system last gave it, which a network or FUSE file system may answer
// from its cache: for looking at a file and for the first checks of a save, never for the status
// a file is compared with later (a FUSE file system's cache makes up change times of its own).
// The access time is never asked for: every read moves it, and a question for it would go to a
// share after each one.
bool StatKnown(int fd, struct stat& st) { return StatInto(fd, "", AT_EMPTY_PATH, st); }

bool HasCapability(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return ((data[cap / 32].effective >> (cap % 32)) & 1u) != 0;
}

// True for root and for a process that may override file permissions or ownership checks:
// such a process must not be steered by links that other users own.
bool Privileged() { return geteuid() == 0 || HasCapability(CAP_FOWNER) || HasCapability(CAP_DAC_OVERRIDE); }

// True when the process may give a file of its own the owner and group of `st`.
bool MayGiveOwnerAndGroup(const struct stat& st) {
    if (geteuid() == 0 || HasCapability(CAP_CHOWN)) return true;
    if (st.st_uid != geteuid()) return false;
    if (st.st_gid == getegid()) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(0, getgroups(0, nullptr))));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    return n >= 0 && std::find(groups.begin(), groups.begin() + n, st.st_gid) != groups.begin() + n;
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

// Reads exactly `size` bytes at `offset`; false on an error or at the end of the file.
bool ReadExactly(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = std::min(size - done, std::size_t{1} << 30);
        const ssize_t n = pread(fd, buffer + done, chunk, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Copies the whole content of `from` into `to` from offset 0 and cuts `to` to that length.
bool CopyContent(int from, int to, std::vector<char>& buffer) {
    std::uint64_t size = 0;
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

// True when the open files `a` and `b` hold the same bytes.
bool SameContent(int a, int b, std::vector<char>& buffer) {
    struct stat sa, sb;
    if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0 || sa.st_size != sb.st_size) return false;
    const std::size_t half = buffer.size() / 2;
    for (std::uint64_t done = 0, size = static_cast<std::uint64_t>(sa.st_size); done < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(half, size - done));
        if (!ReadExactly(a, buffer.data(), n, done) || !ReadExactly(b, buffer.data() + half, n, done) ||
            std::memcmp(buffer.data(), buffer.data() + half, n) != 0)
            return false;
        done += n;
    }
    return true;
}

// Makes renames, links and removals in the folder durable. EINVAL and ENOTSUP only say that this
// file system cannot flush folders, which is no failure.
bool FlushFolder(int dir) { return fsync(dir) == 0 || errno == EINVAL || errno == ENOTSUP; }

// What a name holds, seen without opening it.
enum class Entry { Regular, Link, Missing, Unusable };

// Takes a handle on the name `name` in `dir` that opens nothing (O_PATH: no driver runs, no pipe
// end opens) and does not follow a link there, and reads the type on that handle.
Entry Look(int dir, const char* name, Fd& handle, struct stat& st) {
    handle.Reset(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!handle.Valid()) return errno == ENOENT ? Entry::Missing : Entry::Unusable;
    if (!StatKnown(handle.Get(), st)) return Entry::Unusable;
    if (S_ISLNK(st.st_mode)) return Entry::Link;
    return S_ISREG(st.st_mode) ? Entry::Regular : Entry::Unusable;
}

// The one way a file is opened here: `handle` is a handle on the regular file `name` in `dir`
// from Look (status `seen`), and that very handle is reopened with `access` through /proc, so
// that nothing swapped in meanwhile can be opened. Without /proc the name is opened again,
// without following a link, non-blocking (a pipe cannot hang us) and without taking a terminal,
// and the descriptor is checked before anything is read: what remains there is that a pipe or
// device swapped in between the two steps is opened (never read or written) and closed at once.
// Returns the descriptor, or -1 with errno set (ESTALE: the name holds something else now).
int Reopen(int dir, const char* name, const Fd& handle, const struct stat& seen, int access) {
    ReachedForTest(WEK_STAGE_OPEN);
    if (!g_noProc.load(std::memory_order_relaxed)) {
        char proc[40];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", handle.Get());
        const int fd = open(proc, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 || errno != ENOENT) return fd;
        g_noProc = true;
    }
    Fd file(openat(dir, name, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat st;
    if (!file.Valid() || fstat(file.Get(), &st) != 0) return -1;
    if (!SameFile(st, seen)) {
        errno = ESTALE;
        return -1;
    }
    return file.Release();
}

// Opens `leaf` in `dir` with `access` (O_RDONLY or O_RDWR) the one way above, and only when it
// is the regular file `expected`; `st` receives its status. -1 with errno set otherwise
// (ESTALE: the name holds something else).
int OpenTheSameFile(int dir, const std::string& leaf, const struct stat& expected, int access, struct stat& st) {
    Fd handle;
    if (Look(dir, leaf.c_str(), handle, st) != Entry::Regular || !SameFile(st, expected)) {
        if (handle.Valid()) errno = ESTALE;
        return -1;
    }
    return Reopen(dir, leaf.c_str(), handle, st, access);
}

// A path looked up once: the folder that holds its final name, opened, and that name.
struct Found {
    Fd dir;
    std::string leaf;
    bool exists = false;       // the final name exists; `st` and `handle` are its own then
    Fd handle;                 // an O_PATH handle on the final name
    struct stat st {};
    bool throughLink = false;  // at least one symbolic link was followed to get here
    std::vector<uid_t> linkOwners;        // of the links at the final name, one per hop
    std::vector<uid_t> folderLinkOwners;  // of the links met in those links' folder parts
};

// Follows `f.leaf` in the open folder `f.dir` to its final, non-link name: symbolic links at
// the end are followed (at most 40; relative link text is relative to the link's folder).
// WEK_OK with the final name (which need not exist), or WEK_ERR_OPEN.
int ResolveFromFolder(Found& f) {
    for (int hop = 0;; ++hop) {
        switch (Look(f.dir.Get(), f.leaf.c_str(), f.handle, f.st)) {
        case Entry::Missing: f.exists = false; return WEK_OK;
        case Entry::Regular: f.exists = true; return WEK_OK;
        case Entry::Unusable:
            // A folder, a pipe, a device: it exists, and is never opened.
            f.exists = f.handle.Valid();
            return f.exists ? WEK_OK : WEK_ERR_OPEN;
        case Entry::Link: break;
        }
        if (hop == quorvel::posix::kMaxLinks) return WEK_ERR_OPEN;
        f.throughLink = true;
        f.linkOwners.push_back(f.st.st_uid);
        std::string text;
        if (!ReadLinkText(f.handle.Get(), text) || text.empty() || text.back() == '/') return WEK_ERR_OPEN;
        const std::size_t slash = text.rfind('/');
        if (slash == std::string::npos) {
            f.leaf = text;
            continue;
        }
        // The folder part step by step: a link on the way counts as much as one at the end.
        const std::string folder = text.substr(0, slash);
        Fd next(OpenFolderStepwise(f.dir.Get(), folder.empty() ? "/" : folder, kDirFlags,
                                   [&](const struct stat& st, int) {
                                       if (S_ISLNK(st.st_mode)) f.folderLinkOwners.push_back(st.st_uid);
                                       return true;
                                   }));
        if (!next.Valid()) return WEK_ERR_OPEN;
        f.dir = std::move(next);
        f.leaf = text.substr(slash + 1);
    }
}

// Looks `path` up: its folders are followed as the kernel follows them, then links at the end.
int Resolve(const std::string& path, Found& f) {
    // A trailing slash asks for a folder; a file is never one.
    if (path.empty() || path.back() == '/') return WEK_ERR_OPEN;
    f.dir.Reset(OpenParentDirectory(path, f.leaf));
    if (!f.dir.Valid()) return WEK_ERR_OPEN;
    return ResolveFromFolder(f);
}

// Every link at the final name belongs to the file's owner, and every link met on the way to its
// folder to root or to that owner.
bool LinkOwnersMatch(const Found& f, uid_t owner) {
    return std::all_of(f.linkOwners.begin(), f.linkOwners.end(), [&](uid_t uid) { return uid == owner; }) &&
           std::all_of(f.folderLinkOwners.begin(), f.folderLinkOwners.end(),
                       [&](uid_t uid) { return uid == 0 || uid == owner; });
}

// Reads the first `limit` bytes of the open file `fd` of size `size`.
int ReadOpenFile(int fd, std::uint64_t size, std::uint64_t limit, std::string& out) {
    // The size seen now bounds both the buffer and the reading; a file that grows meanwhile is
    // read as it was, and one that shrinks is read as far as it goes.
    const std::uint64_t want = std::min(limit, size);
    if (want > out.max_size()) return WEK_ERR_NO_MEMORY;
    try {
        out.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = read(fd, out.data() + done, out.size() - done);
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

// Reads the regular file `f` found (WEK_ERR_OPEN for anything else).
int ReadFound(Found& f, std::uint64_t limit, std::string& out) {
    if (!f.exists || !S_ISREG(f.st.st_mode)) return WEK_ERR_OPEN;
    Fd file(Reopen(f.dir.Get(), f.leaf.c_str(), f.handle, f.st, O_RDONLY));
    if (!file.Valid()) return WEK_ERR_OPEN;
    return ReadOpenFile(file.Get(), static_cast<std::uint64_t>(f.st.st_size), limit, out);
}

// Opens the regular file `f` found and keeps it in `file`.
int KeepFound(Found& f, LoadedFilePtr& file) {
    if (!f.exists || !S_ISREG(f.st.st_mode)) return WEK_ERR_OPEN;
    Fd fd(Reopen(f.dir.Get(), f.leaf.c_str(), f.handle, f.st, O_RDONLY));
    struct stat now;
    if (!fd.Valid() || !StatNow(fd.Get(), now) || !SameFile(now, f.st)) return WEK_ERR_OPEN;
    try {
        LoadedFilePtr kept(new LoadedFile);
        kept->leaf = f.leaf;
        kept->dir = f.dir.Release();
        kept->fd = fd.Release();
        kept->throughLink = f.throughLink;
        kept->linkOwnersMatch = LinkOwnersMatch(f, f.st.st_uid);
        kept->loaded = now;
        file = std::move(kept);
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
    }
    return WEK_OK;
}

// The probe's common case, with the fewest calls: the entry `name` of `dir` (AT_FDCWD: a path
// the kernel takes whole) is no link. False when it is a link, which the caller then resolves.
bool ReadUnlessLink(int dir, const char* name, std::uint64_t limit, std::string& out, int& status) {
    Fd handle;
    struct stat st;
    switch (Look(dir, name, handle, st)) {
    case Entry::Link: return false;
    case Entry::Missing:
    case Entry::Unusable: status = WEK_ERR_OPEN; return true;
    case Entry::Regular: break;
    }
    Fd file(Reopen(dir, name, handle, st, O_RDONLY));
    status = file.Valid() ? ReadOpenFile(file.Get(), static_cast<std::uint64_t>(st.st_size), limit, out) : WEK_ERR_OPEN;
    return true;
}

bool ValidEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// ---- Saving ----

// Writes `content` into the empty or to-be-cut file `fd` from its start; false with errno set.
// Small pieces are gathered into writes of up to a megabyte (on a share every write is a round
// trip); large ones go straight from the content.
bool WriteContent(int fd, const Content& content) {
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, content.Size()));
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[std::max<std::size_t>(room, 1)]);
    if (!buffer) {
        errno = ENOMEM;
        return false;
    }
    off_t at = 0;
    std::size_t held = 0;
    const auto flush = [&] {
        if (held > 0 && !WriteAll(fd, buffer.get(), held, at)) return false;
        at += static_cast<off_t>(held);
        held = 0;
        return true;
    };
    return content.Produce([&](const char* data, std::size_t size) {
        if (held + size <= room) {
            std::memcpy(buffer.get() + held, data, size);
            held += size;
            return true;
        }
        if (!flush()) return false;
        if (size < room) {
            std::memcpy(buffer.get(), data, size);
            held = size;
            return true;
        }
        if (!WriteAll(fd, data, size, at)) return false;
        at += static_cast<off_t>(size);
        return true;
    }) && flush();
}

// The test seam: damages the written file `fd` as asked, before it is read back.
void DamageForTestIfAsked(int fd, std::uint64_t size) {
    const std::int64_t offset = DamageForTest();
    if (offset == -2 && size > 0) {
        static_cast<void>(ftruncate(fd, static_cast<off_t>(size - 1)));
    } else if (offset >= 0 && static_cast<std::uint64_t>(offset) < size) {
        char byte = 0;
        if (pread(fd, &byte, 1, offset) == 1) {
            byte = static_cast<char>(byte ^ 0x20);
            static_cast<void>(pwrite(fd, &byte, 1, offset));
        }
    }
}

// Reads the written file `fd` back: WEK_OK when it decodes to exactly `content`. `seen`, when
// given, receives the file's status as it was read back (unset when the reading back is skipped).
int ReadBack(int fd, const Content& content, struct stat* seen = nullptr) {
    if (SkipReadBackForBench()) return WEK_OK;
    struct stat st;
    if (fstat(fd, &st) != 0) return WEK_ERR_READ_BACK;
    if (seen) *seen = st;
    return content.ReadsBack(static_cast<std::uint64_t>(st.st_size),
                             [fd](std::uint64_t offset, char* buffer, std::size_t size) {
                                 return ReadExactly(fd, buffer, size, offset);
                             })
               ? WEK_OK
               : WEK_ERR_READ_BACK;
}

// True when the existing file `file` (status `st`) must not be rewritten: it has no write
// permission bit at all, or the caller may not write it (e.g. a read-only file system).
bool IsReadOnly(int file, const struct stat& st) {
    // The superuser may write anything, so access() alone would never call a file read-only;
    // a file without any write bit is taken as the user's wish that it stays as it is.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return faccessat(file, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) != 0 &&
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

// A new file a save writes: unnamed (O_TMPFILE) where the file system allows it, so that a
// killed save leaves nothing; otherwise, and from the moment it is linked in, it has a name.
// Removed when it goes out of scope unless kept.
struct Temporary {
    int dir = -1;
    Fd fd;
    std::string name;  // empty while unnamed, or once the name is no longer ours

    ~Temporary() { Discard(); }
    void Discard() {
        if (!name.empty()) unlinkat(dir, name.c_str(), 0);
        name.clear();
        fd.Reset();
    }
};

// Creates an unnamed file in `dir` (on device `dev`) with permission bits `mode`; false (errno
// set) when the file system refuses or the folder takes no new file.
bool CreateUnnamed(int dir, dev_t dev, mode_t mode, Temporary& t) {
    t.dir = dir;
    // Without /proc only a process that may link any descriptor can name an unnamed file.
    if (SaveFailsForTest(WEK_STAGE_UNNAMED) || Refused().Has(dev, kNoUnnamed) ||
        (g_noProc.load(std::memory_order_relaxed) && !HasCapability(CAP_DAC_READ_SEARCH))) {
        errno = EOPNOTSUPP;
        return false;
    }
    t.fd.Reset(openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (t.fd.Valid()) return true;
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) Refused().Add(dev, kNoUnnamed);
    return false;
}

// Creates `name` in `dir`, which must not exist; false with errno set.
bool CreateNamed(int dir, const std::string& name, mode_t mode, Temporary& t) {
    t.dir = dir;
    t.fd.Reset(openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!t.fd.Valid()) return false;
    t.name = name;
    return true;
}

// Creates the temporary file of a save in `dir` (on device `dev`) with permission bits `mode`.
bool CreateTemporary(int dir, dev_t dev, mode_t mode, Temporary& t) {
    t.dir = dir;
    if (Injected(WEK_STAGE_CREATE)) return false;
    if (CreateUnnamed(dir, dev, mode, t)) return true;
    // Only a file system without unnamed files makes us fall back to a named one.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    // A short hidden name of our own, so that a long original name cannot push it past NAME_MAX.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (CreateNamed(dir, TemporaryName(), mode, t)) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

// Gives the unnamed file `t` the name `name` in its folder; fails (EEXIST) when the name is taken.
bool LinkUnnamed(Temporary& t, const std::string& name) {
    if (!g_noProc.load(std::memory_order_relaxed)) {
        char proc[40];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", t.fd.Get());
        if (linkat(AT_FDCWD, proc, t.dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != ENOENT) return false;
    }
    // Without /proc, AT_EMPTY_PATH does the same for privileged processes.
    return linkat(t.fd.Get(), "", t.dir, name.c_str(), AT_EMPTY_PATH) == 0;
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

// Renames `from` to `to` in `dir` (on device `dev`) only when `to` does not exist (EEXIST
// otherwise). Where the file system cannot refuse to replace, `to` is linked and `from` removed.
bool RenameNoReplace(int dir, const std::string& from, const std::string& to, dev_t dev) {
    if (!Refused().Has(dev, kNoNoReplace)) {
        if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (!NotOffered(errno)) return false;
        Refused().Add(dev, kNoNoReplace);
    }
    // link() refuses an existing name just as well.
    if (linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) return false;
    if (unlinkat(dir, from.c_str(), 0) != 0) {
        const int error = errno;
        unlinkat(dir, to.c_str(), 0);
        errno = error;
        return false;
    }
    return true;
}

// The names of the extended attributes of `fd` (on device `dev`) that the process can see.
// False when they cannot be listed; none on a file system without them.
bool ListAttributes(int fd, dev_t dev, std::vector<std::string>& names) {
    names.clear();
    if (Refused().Has(dev, kNoAttributes)) return true;
    std::vector<char> buffer;
    while (true) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno != ENOTSUP) return false;
            Refused().Add(dev, kNoAttributes);
            return true;
        }
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

// File capabilities are never carried to the new content: a write drops them (the kernel does
// so for a write in place), whoever saves.
bool Carried(const std::string& name) { return name != kCapabilities; }

enum class Carry { All, NotAll, Failed };

// Makes the extended attributes of `to` those of `from` (names `wanted`), ACLs included: what the
// new file got from its folder (a default ACL) and the original lacks goes, what the original has
// is set.
Carry CopyAttributes(int from, const std::vector<std::string>& wanted, int to, dev_t dev) {
    std::vector<std::string> present;
    if (!ListAttributes(to, dev, present)) return Carry::NotAll;
    for (const std::string& name : present) {
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
        // A security label is the system's to assign; the original's replaces it below if it has one.
        if (fremovexattr(to, name.c_str()) != 0 && name.rfind("security.", 0) != 0) return Carry::NotAll;
    }
    for (const std::string& name : wanted) {
        if (!Carried(name)) continue;
        std::string value;
        if (!GetAttribute(from, name, value)) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return Carry::NotAll;
        }
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
            if (errno == ENOTSUP) Refused().Add(dev, kNoSetAttributes);
            return Carry::NotAll;
        }
    }
    return Carry::All;
}

// The permission bits a save leaves a file of mode `mode`, whichever way it writes: set-user-ID
// and set-group-ID stay only where the saver may set them itself (what chmod allows it: its own
// file, and a group it belongs to, or the privilege to set them on any file).
mode_t KeptMode(const struct stat& original, const struct stat& now) {
    return (original.st_mode & 01777) | (now.st_mode & original.st_mode & 06000);
}

// Gives the new file `to` (status `created` when it was made) the owner, group, extended
// attributes (names `attributes`) and permission bits of the original `from` (status `st`).
// NotAll: the process cannot give it all of them.
Carry CarryMetadata(int from, const struct stat& st, const std::vector<std::string>& attributes, int to,
                    const struct stat& created) {
    if ((created.st_uid != st.st_uid || created.st_gid != st.st_gid) && fchown(to, st.st_uid, st.st_gid) != 0)
        return Carry::NotAll;
    // Attributes after the owner (chown drops file capabilities), permission bits last: they
    // also set an ACL's mask, which the original's bits already show, and chown may clear set-id
    // bits. chmod then keeps a set-id bit only where the saver may set it.
    const Carry carried = CopyAttributes(from, attributes, to, st.st_dev);
    if (carried != Carry::All) return carried;
    if (Injected(WEK_STAGE_PERMISSIONS) || fchmod(to, st.st_mode & 07777) != 0) return Carry::Failed;
    struct stat now;
    if (fstat(to, &now) != 0) return Carry::Failed;
    return now.st_uid == st.st_uid && now.st_gid == st.st_gid && (now.st_mode & 07777) == KeptMode(st, now)
               ? Carry::All
               : Carry::NotAll;
}

// The ACL `acl` (in its extended-attribute form) with no rights for the owning group: for a
// copy whose group could not be made the original's.
std::string WithoutGroupRights(std::string acl) {
    constexpr std::size_t kHeader = 4, kEntry = 8;
    constexpr unsigned kGroupObj = 0x04;
    for (std::size_t at = kHeader; at + kEntry <= acl.size(); at += kEntry) {
        const unsigned tag = static_cast<unsigned char>(acl[at]) | static_cast<unsigned char>(acl[at + 1]) << 8;
        if (tag == kGroupObj) acl[at + 2] = acl[at + 3] = '\0';
    }
    return acl;
}

// Makes the empty backup copy `copy` no more open than the original `original` (status `st`)
// before anything is written into it: it was created readable and writable by its creator only;
// it gets the original's owner, group and ACL where the process can give them, and read
// permission for the group and others only as far as the original gives it to them. Where the
// group cannot be the original's, the group gets nothing; where the original's ACL cannot be
// given, only the owner may read the copy.
bool ProtectCopy(int original, const struct stat& st, int copy) {
    struct stat now;
    if (fchown(copy, st.st_uid, st.st_gid) != 0) static_cast<void>(fchown(copy, static_cast<uid_t>(-1), st.st_gid));
    if (fstat(copy, &now) != 0) return false;
    const bool sameGroup = now.st_gid == st.st_gid;
    bool aclKept = true;
    if (!Refused().Has(st.st_dev, kNoAttributes)) {
        std::string acl;
        if (GetAttribute(original, kAccessAcl, acl)) {
            if (!sameGroup) acl = WithoutGroupRights(acl);
            aclKept = fsetxattr(copy, kAccessAcl, acl.data(), acl.size(), 0) == 0;
        } else if (errno == ENODATA) {
            // What the folder's default ACL gave the new file goes.
            aclKept = fremovexattr(copy, kAccessAcl) == 0 || errno == ENODATA;
        } else if (errno == ENOTSUP) {
            Refused().Add(st.st_dev, kNoAttributes);  // no ACLs here: the bits say it all
        } else {
            aclKept = false;
        }
    }
    mode_t mode = S_IRUSR | S_IWUSR;
    if (aclKept) mode |= st.st_mode & ((sameGroup ? S_IRGRP : 0) | S_IROTH);
    return fchmod(copy, mode) == 0;
}

// Makes room for the backup copy `copyName` of the file `file` in `dir`. An earlier copy still
// there may be the only good content the user has: it is removed only when it holds exactly
// what the file holds now (its bytes, or the records it was loaded with), and never overwritten.
// WEK_OK when the name is free, WEK_ERR_NO_COPY otherwise.
int ClearEarlierCopy(int dir, const std::string& copyName, int file, const Content& content, std::vector<char>& buffer) {
    struct stat earlier;
    if (fstatat(dir, copyName.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? WEK_OK : WEK_ERR_NO_COPY;
    if (!S_ISREG(earlier.st_mode)) return WEK_ERR_NO_COPY;
    try {
        if (buffer.size() < 2 * kChunk) buffer.resize(2 * kChunk);
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
    }
    struct stat seen;
    Fd old(OpenTheSameFile(dir, copyName, earlier, O_RDONLY, seen));
    const bool same = old.Valid() &&
        (SameContent(old.Get(), file, buffer) ||
         content.HoldsTheLoadedRecords(static_cast<std::uint64_t>(seen.st_size),
                                       [&](std::uint64_t offset, char* data, std::size_t size) {
                                           return ReadExactly(old.Get(), data, size, offset);
                                       }));
    if (!same || Injected(WEK_STAGE_CLEAN_UP) || unlinkat(dir, copyName.c_str(), 0) != 0) return WEK_ERR_NO_COPY;
    return WEK_OK;
}

// Rewrites `leaf` in `dir` in place, so that it keeps its inode and with it every hard link,
// its owner and its attributes; a flushed backup copy of the original lies beside it while it is
// being overwritten. `loaded` is the file's status when it was loaded.
int RewriteInPlace(int dir, const std::string& leaf, const struct stat& loaded, bool changeTime, const Content& content) {
    std::vector<char> buffer;
    try {
        buffer.resize(2 * kChunk);
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
    }
    struct stat st;
    Fd file(OpenTheSameFile(dir, leaf, loaded, O_RDWR, st));
    if (!file.Valid()) {
        if (errno == ESTALE || errno == ENOENT || errno == ELOOP) return WEK_ERR_CHANGED;
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY) return WEK_ERR_READ_ONLY;
        return WEK_ERR_WRITE;
    }
    if (!StatNow(file.Get(), st)) return WEK_ERR_WRITE;
    if (!Unchanged(st, loaded, changeTime)) return WEK_ERR_CHANGED;

    // The copy: unnamed until it is complete where the file system allows it.
    const std::string copyName = WekBackupCopyName(leaf);
    if (const int status = ClearEarlierCopy(dir, copyName, file.Get(), content, buffer); status != WEK_OK) return status;
    Temporary copy;
    if (!CreateUnnamed(dir, st.st_dev, 0600, copy) && !CreateNamed(dir, copyName, 0600, copy)) return WEK_ERR_NO_COPY;
    if (!ProtectCopy(file.Get(), st, copy.fd.Get()) || !CopyContent(file.Get(), copy.fd.Get(), buffer) ||
        Injected(WEK_STAGE_COPY) || fsync(copy.fd.Get()) != 0 || (copy.name.empty() && !LinkUnnamed(copy, copyName)))
        return WEK_ERR_NO_COPY;
    copy.name = copyName;
    if (!FlushFolder(dir)) return WEK_ERR_NO_COPY;

    // The last checks before the file is written: nothing else wrote to it meanwhile.
    ReachedForTest(WEK_STAGE_OVERWRITE);
    struct stat before;
    if (!StatNow(file.Get(), before)) return WEK_ERR_WRITE;
    if (!Unchanged(before, loaded, changeTime)) return WEK_ERR_CHANGED;

    int status = WEK_OK;
    if (Injected(WEK_STAGE_REFUSED)) {
        status = WEK_ERR_WRITE;
    } else if (SaveFailsForTest(WEK_STAGE_OVERWRITE)) {
        // Fails as a full disk would: halfway through.
        std::uint64_t left = content.Size() / 2;
        off_t at = 0;
        content.Produce([&](const char* data, std::size_t size) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
            WriteAll(file.Get(), data, n, at);
            at += static_cast<off_t>(n);
            left -= n;
            return left > 0;
        });
        status = WEK_ERR_WRITE;
    } else if (!WriteContent(file.Get(), content) || ftruncate(file.Get(), static_cast<off_t>(content.Size())) != 0) {
        status = WEK_ERR_WRITE;
    } else {
        DamageForTestIfAsked(file.Get(), content.Size());
        // A write drops set-id bits that the kernel does not let the writer keep; put back those
        // the saver may set itself, as a save through a new file does.
        struct stat now;
        if (fstat(file.Get(), &now) == 0 && (st.st_mode & 06000) != (now.st_mode & 06000))
            static_cast<void>(fchmod(file.Get(), st.st_mode & 07777));
        if (fsync(file.Get()) != 0) status = WEK_ERR_WRITE;
        else status = ReadBack(file.Get(), content);
    }
    if (status == WEK_OK) {
        copy.name.clear();
        if (Injected(WEK_STAGE_CLEAN_UP) || unlinkat(dir, copyName.c_str(), 0) != 0) return WEK_ERR_COPY_LEFT;
        FlushFolder(dir);
        return WEK_OK;
    }

    // Put the original back from the copy; the copy goes only when the file is whole again.
    const bool restored = !Injected(WEK_STAGE_RESTORE) && CopyContent(copy.fd.Get(), file.Get(), buffer) &&
                          fsync(file.Get()) == 0;
    if (!restored && !SameContent(copy.fd.Get(), file.Get(), buffer)) {
        copy.name.clear();  // the copy stays: it holds the original content
        return WEK_ERR_SEE_COPY;
    }
    copy.Discard();
    FlushFolder(dir);
    return status;
}

// Puts the flushed new file `t` in the place of the original `leaf`, while the name still holds
// the loaded file `original` (status `loaded` when it was loaded) unchanged; never creates
// `leaf`, never replaces anything else and never follows a link. Once the swap is done,
// `original` is closed before the old content's name is removed (a FUSE file system keeps an
// open file it is asked to remove under a hidden name), and `t.fd` is the new file, open.
int SwapIn(Temporary& t, const std::string& leaf, Fd& original, const struct stat& loaded, bool changeTime,
           const Content& content) {
    const int dir = t.dir;
    const dev_t dev = loaded.st_dev;
    // The last checks before the swap: nothing wrote to the loaded file meanwhile. What happens
    // between them and the swap is caught by checking what the swap took out.
    struct stat now;
    if (!StatNow(original.Get(), now)) return WEK_ERR_WRITE;
    if (!Unchanged(now, loaded, changeTime)) return WEK_ERR_CHANGED;
    if (!NameTemporary(t) || Injected(WEK_STAGE_RENAME)) return WEK_ERR_WRITE;
    ReachedForTest(WEK_STAGE_RENAME);

    if (!SaveFailsForTest(WEK_STAGE_EXCHANGE) && !Refused().Has(dev, kNoExchange)) {
        if (renameat2(dir, t.name.c_str(), dir, leaf.c_str(), RENAME_EXCHANGE) == 0) {
            // One step swaps the names, and only an existing name can be swapped. What came out
            // must be the loaded file, unwritten; anything else goes back untouched.
            struct stat out;
            if (StatNow(dir, t.name.c_str(), 0, out) && Unchanged(out, loaded, false)) {
                const std::string old = t.name;
                t.name.clear();
                original.Reset();
                const bool removed = !Injected(WEK_STAGE_CLEAN_UP) && unlinkat(dir, old.c_str(), 0) == 0;
                // The new content is in place; only its durability is in doubt when the flush fails.
                if (!FlushFolder(dir)) return WEK_ERR_WRITE;
                return removed ? WEK_OK : WEK_ERR_TEMP_LEFT;
            }
            if (renameat2(dir, t.name.c_str(), dir, leaf.c_str(), RENAME_EXCHANGE) != 0) t.name.clear();
            return WEK_ERR_CHANGED;
        }
        if (errno == ENOENT) return WEK_ERR_CHANGED;
        if (!NotOffered(errno)) return WEK_ERR_WRITE;
        Refused().Add(dev, kNoExchange);
    }

    // Without the swap, nothing is renamed over a name whose content was not checked at that
    // instant: the original is moved aside to its backup copy's name, checked there, and the
    // new file takes the empty name only if no other file took it meanwhile.
    const std::string keep = WekBackupCopyName(leaf);
    std::vector<char> buffer;
    if (const int status = ClearEarlierCopy(dir, keep, original.Get(), content, buffer); status != WEK_OK) return status;
    bool moved = false;
    if (!Refused().Has(dev, kNoNoReplace)) {
        moved = renameat2(dir, leaf.c_str(), dir, keep.c_str(), RENAME_NOREPLACE) == 0;
        if (!moved && NotOffered(errno)) Refused().Add(dev, kNoNoReplace);
        else if (!moved) return errno == ENOENT ? WEK_ERR_CHANGED : errno == EEXIST ? WEK_ERR_NO_COPY : WEK_ERR_WRITE;
    }
    // Without RENAME_NOREPLACE the copy's name was just seen free; a link and a removal would
    // remove whatever took the original's name in between.
    if (!moved && renameat(dir, leaf.c_str(), dir, keep.c_str()) != 0)
        return errno == ENOENT ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
    struct stat out;
    if (!StatNow(dir, keep.c_str(), 0, out) || !Unchanged(out, loaded, false)) {
        // Not ours: it goes back. Should yet another file have taken the name in these few
        // microseconds, both are kept and the name stays with the newest.
        RenameNoReplace(dir, keep, leaf, dev);
        return WEK_ERR_CHANGED;
    }
    // The new file takes the empty name, never over anything: by RENAME_NOREPLACE, or by a link
    // where the file system lacks it.
    bool placed = false, linked = false;
    int error = 0;
    if (!Refused().Has(dev, kNoNoReplace)) {
        placed = renameat2(dir, t.name.c_str(), dir, leaf.c_str(), RENAME_NOREPLACE) == 0;
        error = errno;
        if (!placed && NotOffered(error)) Refused().Add(dev, kNoNoReplace);
    }
    if (!placed && (error == 0 || NotOffered(error))) {
        linked = linkat(dir, t.name.c_str(), dir, leaf.c_str(), 0) == 0;
        error = errno;
    }
    if (!placed && !linked) {
        // Another file took the empty name: it is the newest and stays; the loaded file stays
        // aside as the backup copy.
        if (error == EEXIST) return WEK_ERR_MOVED_ASIDE;
        if (RenameNoReplace(dir, keep, leaf, dev)) return WEK_ERR_WRITE;
        return errno == EEXIST ? WEK_ERR_MOVED_ASIDE : WEK_ERR_SEE_COPY;
    }
    if (linked) {
        // Linked under the name; the temporary name goes once the file is closed, and the new
        // file is opened again under its name, as the file it is.
        struct stat mine;
        const bool known = fstat(t.fd.Get(), &mine) == 0;
        t.fd.Reset();
        unlinkat(dir, t.name.c_str(), 0);
        struct stat seen;
        if (known) t.fd.Reset(OpenTheSameFile(dir, leaf, mine, O_RDONLY, seen));
    }
    t.name.clear();
    original.Reset();
    const bool removed = !Injected(WEK_STAGE_CLEAN_UP) && unlinkat(dir, keep.c_str(), 0) == 0;
    if (!FlushFolder(dir)) return WEK_ERR_WRITE;
    return removed ? WEK_OK : WEK_ERR_COPY_LEFT;
}

// Gives the regular file `leaf` in `dir` (open as `original`, status `loaded` when it was
// loaded, compared with its change time when `changeTime`) the content `content`: through a new file swapped in where that keeps everything it
// has, in place otherwise. `replaced` receives the new file once it holds the name, and, where given,
// `replacedStatus` its status as it was read back, complete but for its change time (which the
// swap moves); st_ino 0 where it was not read back.
int Rewrite(int dir, const std::string& leaf, Fd& original, const struct stat& loaded, bool changeTime,
            const Content& content, Fd& replaced, struct stat* replacedStatus = nullptr) {
    if (replacedStatus) *replacedStatus = {};
    // A new file would leave the other names of the file with the old content, and one the
    // process cannot give the file's owner and group would change them.
    if (loaded.st_nlink > 1 || !MayGiveOwnerAndGroup(loaded)) return RewriteInPlace(dir, leaf, loaded, changeTime, content);
    std::vector<std::string> attributes;
    if (!ListAttributes(original.Get(), loaded.st_dev, attributes)) return RewriteInPlace(dir, leaf, loaded, changeTime, content);
    // Where this file system takes no attributes, one that has any is rewritten in place at once.
    if (Refused().Has(loaded.st_dev, kNoSetAttributes) && std::any_of(attributes.begin(), attributes.end(), Carried))
        return RewriteInPlace(dir, leaf, loaded, changeTime, content);

    Temporary temp;
    if (!CreateTemporary(dir, loaded.st_dev, 0600, temp)) return RefusedNewFile(errno);
    struct stat created;
    if (fstat(temp.fd.Get(), &created) != 0) return WEK_ERR_WRITE;
    if (Injected(WEK_STAGE_WRITE) || !WriteContent(temp.fd.Get(), content)) return WEK_ERR_WRITE;
    DamageForTestIfAsked(temp.fd.Get(), content.Size());
    switch (CarryMetadata(original.Get(), loaded, attributes, temp.fd.Get(), created)) {
    case Carry::Failed: return WEK_ERR_WRITE;
    case Carry::NotAll:
        temp.Discard();
        return RewriteInPlace(dir, leaf, loaded, changeTime, content);
    case Carry::All: break;
    }
    if (Injected(WEK_STAGE_FSYNC) || fsync(temp.fd.Get()) != 0) return WEK_ERR_WRITE;
    if (const int status = ReadBack(temp.fd.Get(), content, replacedStatus); status != WEK_OK) return status;
    const int status = SwapIn(temp, leaf, original, loaded, changeTime, content);
    // A swap that happened closed the original.
    if (!original.Valid()) replaced = std::move(temp.fd);
    return status;
}

// Creates the missing name `leaf` in `dir` with `content`; never replaces anything that appears
// there meanwhile.
int CreateNew(int dir, const std::string& leaf, const Content& content) {
    struct stat folder;
    if (fstat(dir, &folder) != 0) return WEK_ERR_WRITE;
    Temporary temp;
    if (!CreateTemporary(dir, folder.st_dev, 0666, temp)) return RefusedNewFile(errno);
    if (Injected(WEK_STAGE_WRITE) || !WriteContent(temp.fd.Get(), content)) return WEK_ERR_WRITE;
    DamageForTestIfAsked(temp.fd.Get(), content.Size());
    if (Injected(WEK_STAGE_FSYNC) || fsync(temp.fd.Get()) != 0) return WEK_ERR_WRITE;
    if (const int status = ReadBack(temp.fd.Get(), content); status != WEK_OK) return status;
    if (Injected(WEK_STAGE_RENAME)) return WEK_ERR_WRITE;
    if (temp.name.empty()) {
        if (!LinkUnnamed(temp, leaf)) return errno == EEXIST ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
    } else {
        if (!RenameNoReplace(dir, temp.name, leaf, folder.st_dev)) return errno == EEXIST ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
        temp.name.clear();
    }
    return FlushFolder(dir) ? WEK_OK : WEK_ERR_WRITE;
}

}  // namespace

int ReadFile(const std::string& path, std::uint64_t limit, std::string& out) {
    out.clear();
    int status = WEK_OK;
    if (!path.empty() && path.size() < PATH_MAX && path.back() != '/' &&
        ReadUnlessLink(AT_FDCWD, path.c_str(), limit, out, status))
        return status;
    Found f;
    if (Resolve(path, f) != WEK_OK) return WEK_ERR_OPEN;
    return ReadFound(f, limit, out);
}

int ReadFileAt(int folder, const std::string& name, std::uint64_t limit, std::string& out) {
    out.clear();
    if (!ValidEntryName(name)) return WEK_ERR_OPEN;
    int status = WEK_OK;
    if (ReadUnlessLink(folder, name.c_str(), limit, out, status)) return status;
    Found f;
    f.dir.Reset(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    f.leaf = name;
    if (!f.dir.Valid() || ResolveFromFolder(f) != WEK_OK) return WEK_ERR_OPEN;
    return ReadFound(f, limit, out);
}

int OpenFile(const std::string& path, LoadedFilePtr& file) {
    Found f;
    if (Resolve(path, f) != WEK_OK) return WEK_ERR_OPEN;
    return KeepFound(f, file);
}

int OpenFileAt(int folder, const std::string& name, LoadedFilePtr& file) {
    if (!ValidEntryName(name)) return WEK_ERR_OPEN;
    Found f;
    f.dir.Reset(fcntl(folder, F_DUPFD_CLOEXEC, 0));
    f.leaf = name;
    if (!f.dir.Valid() || ResolveFromFolder(f) != WEK_OK) return WEK_ERR_OPEN;
    return KeepFound(f, file);
}

std::uint64_t LoadedSize(const LoadedFile& file) { return static_cast<std::uint64_t>(file.loaded.st_size); }

bool ReadLoaded(const LoadedFile& file, std::uint64_t offset, char* buffer, std::size_t size) {
    return ReadExactly(file.fd, buffer, size, offset);
}

int SaveLoaded(LoadedFile& file, const Content& content) {
    if (file.throughLink && !file.linkOwnersMatch && Privileged()) return WEK_ERR_LINK_OWNER;
    // What the file system last said will do here: the last checks ask it again.
    struct stat now;
    if (!StatKnown(file.fd, now)) return WEK_ERR_WRITE;
    if (IsReadOnly(file.fd, now)) return WEK_ERR_READ_ONLY;
    if (!Unchanged(now, file.loaded, file.changeTimeKnown)) return WEK_ERR_CHANGED;
    Fd replaced, original(file.fd);
    file.fd = -1;
    struct stat written;
    const int status =
        Rewrite(file.dir, file.leaf, original, file.loaded, file.changeTimeKnown, content, replaced, &written);
    // From now on the name holds the new file: a later save checks against that one.
    const bool swapped = replaced.Valid();
    file.fd = swapped ? replaced.Release() : original.Release();
    // The file now holds what this save wrote; its change time moved with the save's own steps
    // and is not compared by the next save. A new file swapped in is as it was read back (the
    // swap moves nothing but its change time), so it is not asked for again.
    if (swapped && written.st_ino != 0) {
        file.loaded = written;
        file.changeTimeKnown = false;
    } else if ((swapped || status == WEK_OK || status == WEK_ERR_COPY_LEFT) && file.fd >= 0 && fstat(file.fd, &now) == 0) {
        file.loaded = now;
        file.changeTimeKnown = false;
    }
    return status;
}

int SaveToPath(const std::string& path, const Content& content) {
    Found f;
    if (Resolve(path, f) != WEK_OK) return WEK_ERR_WRITE;
    // A link that points nowhere could make us create a file wherever its owner chose.
    if (!f.exists) return f.throughLink ? WEK_ERR_WRITE : CreateNew(f.dir.Get(), f.leaf, content);
    if (!S_ISREG(f.st.st_mode)) return WEK_ERR_WRITE;
    if (!LinkOwnersMatch(f, f.st.st_uid) && Privileged()) return WEK_ERR_LINK_OWNER;
    if (IsReadOnly(f.handle.Get(), f.st)) return WEK_ERR_READ_ONLY;
    Fd original(Reopen(f.dir.Get(), f.leaf.c_str(), f.handle, f.st, O_RDONLY));
    if (!original.Valid()) return errno == ESTALE || errno == ENOENT ? WEK_ERR_CHANGED : WEK_ERR_WRITE;
    struct stat now;
    if (!StatNow(original.Get(), now) || !SameFile(now, f.st)) return WEK_ERR_CHANGED;
    Fd replaced;
    return Rewrite(f.dir.Get(), f.leaf, original, now, true, content, replaced);
}

bool LookAtFile(int folder, const std::string& name, const std::string& path, FileFacts& facts) {
    facts = {};
    struct statx x;
    const int at = folder >= 0 ? folder : AT_FDCWD;
    const std::string& which = folder >= 0 ? name : path;
    if (statx(at, which.c_str(), 0, STATX_TYPE | STATX_SIZE | STATX_INO, &x) != 0 || !S_ISREG(x.stx_mode)) return false;
    facts.size = x.stx_size;
    facts.identified = (x.stx_mask & STATX_INO) != 0;
    facts.volume = makedev(x.stx_dev_major, x.stx_dev_minor);
    facts.index = x.stx_ino;
    return true;
}

bool ProcessIsGone(std::uint64_t pid) {
    if (pid == 0 || pid > static_cast<std::uint64_t>(INT_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace wekio
