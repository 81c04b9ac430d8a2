#include "platform/posix/PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/LongPath.h"

namespace quorvel::posix {

namespace {

class SnapshotEnum : public IFolderEnum {
public:
    SnapshotEnum(FolderIdentity id, std::vector<FolderEntry> entries)
        : m_id(id), m_entries(std::move(entries)) {}
    FolderIdentity Identity() const override { return m_id; }
    bool Next(FolderEntry& entry) override {
        if (m_next >= m_entries.size()) return false;
        entry = std::move(m_entries[m_next++]);
        return true;
    }

private:
    FolderIdentity m_id;
    std::vector<FolderEntry> m_entries;
    std::size_t m_next = 0;
};

// Whether `name` in `dirfd` is a folder, following links (a dangling link is a file).
bool IsFolderEntry(int dirfd, const dirent& d) {
    if (d.d_type == DT_DIR) return true;
    if (d.d_type != DT_LNK && d.d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dirfd, d.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::unique_ptr<IFolderEnum> PosixFileSystem::OpenFolder(const std::string& folder) {
    const int fd = OpenDirectory(folder);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return nullptr;
    }
    std::vector<FolderEntry> entries;
    while (const dirent* d = readdir(dir))
        entries.push_back({d->d_name, IsFolderEntry(fd, *d)});
    closedir(dir);  // also closes fd
    const FolderIdentity id{static_cast<std::uint64_t>(st.st_dev),
                            static_cast<std::uint64_t>(st.st_ino)};
    return std::make_unique<SnapshotEnum>(id, std::move(entries));
}

}  // namespace quorvel::posix
