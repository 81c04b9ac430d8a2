#include "base/LongPath.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace quorvel::posix {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// The longest piece handed to the kernel at once; PATH_MAX counts the terminating NUL.
constexpr std::size_t kMaxPiece = PATH_MAX - 1;

}  // namespace

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

}  // namespace quorvel::posix
