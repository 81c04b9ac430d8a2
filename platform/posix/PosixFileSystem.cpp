#include "platform/posix/PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "scan/FolderSnapshot.h"
#include "base/LongPath.h"

namespace quorvel::posix {

namespace {

// Whether entry `name` of `dirfd` is a folder, following links (a dangling link is a file).
bool IsFolderEntry(int dirfd, unsigned char type, const char* name) {
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Closes the descriptor when it goes out of scope.
struct Fd {
    int fd;
    ~Fd() { close(fd); }
};

}  // namespace

std::unique_ptr<IFolderEnum> PosixFileSystem::OpenFolder(const std::string& folder) {
    const Fd dir{OpenDirectory(folder)};
    struct stat st;
    if (dir.fd < 0 || fstat(dir.fd, &st) != 0) return nullptr;

    // getdents64 on the descriptor already open and checked: readdir would first fstat and
    // fcntl it again, a cost paid once per folder of the tree.
    std::vector<FolderEntry> entries;
    alignas(8) char buf[32768];
    while (true) {
        const ssize_t n = getdents64(dir.fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* d = reinterpret_cast<const dirent64*>(buf + at);
            entries.push_back({d->d_name, IsFolderEntry(dir.fd, d->d_type, d->d_name)});
            at += d->d_reclen;
        }
    }
    const FolderIdentity id{static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino)};
    return std::make_unique<FolderSnapshot>(id, std::move(entries));
}

}  // namespace quorvel::posix
