#include "platform/posix/PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/LongPath.h"

namespace quorvel::posix {

namespace {

// Folders only (O_DIRECTORY refuses anything else before it is opened, devices included).
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;

bool IsDots(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Whether entry `name` of `dirfd` is a folder, following links (a dangling link is a file).
bool IsFolderEntry(int dirfd, unsigned char type, const char* name) {
    if (type == DT_DIR) return true;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

class PosixFolder : public IFolder {
public:
    PosixFolder(int fd, FileIdentity id) : m_fd(fd), m_id(id) {}
    ~PosixFolder() override { close(m_fd); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    // Takes over `fd` (closed on failure); null when it cannot be checked.
    static std::unique_ptr<IFolder> Adopt(int fd) {
        if (fd < 0) return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
            close(fd);
            return nullptr;
        }
        return std::make_unique<PosixFolder>(
            fd, FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    }

    FileIdentity Identity() const override { return m_id; }

    bool ReadEntries(std::vector<FolderEntry>& entries) override {
        // getdents64 on the descriptor already open and checked: readdir would first fstat and
        // fcntl it again, a cost paid once per folder of the tree.
        const std::size_t before = entries.size();
        alignas(8) char buf[32768];
        while (true) {
            const ssize_t n = getdents64(m_fd, buf, sizeof buf);
            if (n == 0) return true;
            if (n < 0) {
                if (errno == EINTR) continue;
                entries.resize(before);
                return false;
            }
            for (ssize_t at = 0; at < n;) {
                const auto* d = reinterpret_cast<const dirent64*>(buf + at);
                at += d->d_reclen;
                if (IsDots(d->d_name)) continue;
                entries.push_back({d->d_name, IsFolderEntry(m_fd, d->d_type, d->d_name)});
            }
        }
    }

    std::unique_ptr<IFolder> OpenFolder(const std::string& name) override {
        return Adopt(openat(m_fd, name.c_str(), kFolderFlags));
    }

    bool RemoveFile(const std::string& name) override {
        struct stat st;
        return fstatat(m_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               unlinkat(m_fd, name.c_str(), 0) == 0;
    }

private:
    const int m_fd;
    const FileIdentity m_id;
};

}  // namespace

std::unique_ptr<IFolder> PosixFileSystem::OpenFolder(const std::string& path) {
    return PosixFolder::Adopt(OpenDirectory(path));
}

}  // namespace quorvel::posix
