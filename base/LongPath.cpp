#include "base/LongPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "base/Fd.h"

namespace quorvel::posix {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// The longest piece handed to the kernel at once; PATH_MAX counts the terminating NUL.
constexpr std::size_t kMaxPiece = PATH_MAX - 1;

// Puts the components of `path` on `pending` so that the first comes off its back first.
void PushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> parts;
    for (std::size_t pos = 0; pos <= path.size();) {
        const std::size_t end = std::min(path.find('/', pos), path.size());
        if (end > pos && path.compare(pos, end - pos, ".") != 0) parts.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}


}  // namespace

bool ReadLinkText(int link, std::string& text) {
    std::vector<char> buf(256);
    while (true) {
        const ssize_t n = readlinkat(link, "", buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buf.size()) {
            text.assign(buf.data(), static_cast<std::size_t>(n));
            return true;
        }
        // Possibly cut short: try again with more room.
        buf.resize(buf.size() * 2);
    }
}

int OpenDirectory(const std::string& path) {
    if (path.empty()) return open("/", kDirFlags);
    if (path.size() <= kMaxPiece) return open(path.c_str(), kDirFlags);

    // Too long for one call: open it piece by piece, each piece a run of whole components
    // short enough for openat(), so the kernel still resolves links and ".." as usual.
    int fd = AT_FDCWD;
    std::size_t pos = 0;
    if (path[0] == '/') {
        fd = open("/", kDirFlags);
        if (fd < 0) return -1;
    }
    while (true) {
        pos = path.find_first_not_of('/', pos);
        if (pos == std::string::npos) break;
        std::size_t end = path.size();
        if (end - pos > kMaxPiece) {
            end = path.rfind('/', pos + kMaxPiece);
            // A single component longer than a piece: pass it whole and let openat() refuse it.
            if (end == std::string::npos || end <= pos) end = path.find('/', pos);
            if (end == std::string::npos) end = path.size();
        }
        const int next = openat(fd, path.substr(pos, end - pos).c_str(), kDirFlags);
        const int err = errno;
        if (fd != AT_FDCWD) close(fd);
        if (next < 0) {
            errno = err;
            return -1;
        }
        fd = next;
        pos = end;
    }
    // A relative path starts with a component, so at least one openat() ran and fd is real.
    return fd;
}

int OpenParentDirectory(const std::string& path, std::string& leaf) {
    leaf.clear();
    // Trailing slashes do not start a new component: "a/b/" names "b" in "a".
    const std::size_t last = path.find_last_not_of('/');
    if (last == std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    const std::size_t slash = path.rfind('/', last);
    if (slash == std::string::npos) {
        leaf = path.substr(0, last + 1);
        return open(".", kDirFlags);
    }
    leaf = path.substr(slash + 1, last - slash);
    return OpenDirectory(path.substr(0, slash));
}

int OpenFolderStepwise(int dir, const std::string& path, int flags, const StepCheck& check) {
    constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    std::vector<std::string> pending;
    Fd here;  // the folder reached so far; `dir` itself while unset
    const auto at = [&] { return here.Get() >= 0 ? here.Get() : dir; };
    const auto restart = [&](const std::string& text) {
        if (!text.empty() && text[0] == '/') here.Reset(open("/", kPassFlags));
        PushComponents(text, pending);
        return here.Get() >= 0 || text.empty() || text[0] != '/';
    };
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (!restart(path)) return -1;
    int links = 0;
    bool reached = false;  // `here` is the last component, opened with `flags`
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        const bool last = pending.empty();
        Fd next;
        next.Reset(openat(at(), name.c_str(), last ? flags | O_NOFOLLOW : kPassFlags));
        struct stat st;
        if (next.Get() < 0) {
            if (errno != ELOOP && errno != ENOTDIR) return -1;
            // A link (or no folder at all): look at the name itself.
            next.Reset(openat(at(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (next.Get() < 0 || fstat(next.Get(), &st) != 0) return -1;
            if (!S_ISLNK(st.st_mode)) {
                errno = ENOTDIR;
                return -1;
            }
            std::string text;
            if (++links > kMaxLinks) {
                errno = ELOOP;
                return -1;
            }
            if (!check(st, next.Get()) || !ReadLinkText(next.Get(), text)) return -1;
            if (text.empty()) {
                errno = ENOENT;
                return -1;
            }
            if (!restart(text)) return -1;
            reached = false;
            continue;
        }
        if (fstat(next.Get(), &st) != 0 || !check(st, next.Get())) return -1;
        here.Reset(next.Release());
        reached = last;
    }
    if (reached) return here.Release();
    // Ended on a link whose text names a folder already passed through ("/", "."): open it.
    return openat(at(), ".", flags);
}

}  // namespace quorvel::posix
