#include "platform/posix/PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/LongPath.h"

namespace quorvel::posix {

namespace {

// Folders only (O_DIRECTORY refuses anything else before it is opened, devices included).
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;

// statfs magic numbers of file systems that hold the system's state, not files.
constexpr unsigned long kSystemMagic[] = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x27e0eb,    // cgroup
    0x63677270,  // cgroup2
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0x1cd1,      // devpts
    0xcafe4a11,  // bpf
    0x6165676c,  // pstore
    0xde5e81e4,  // efivarfs
    0x62656570,  // configfs
    0x65735543,  // fusectl
    0x19800202,  // mqueue
    0x42494e4d,  // binfmt_misc
    0xf97cff8c,  // selinuxfs
    0x43415d53,  // smackfs
    0x6e736673,  // nsfs
};
// The same by the names the mount table gives; devtmpfs has tmpfs's magic number, so only its
// name in the mount table tells it apart.
constexpr const char* kSystemTypes[] = {
    "proc",    "sysfs",      "devtmpfs", "devpts", "cgroup",  "cgroup2",   "debugfs",
    "tracefs", "securityfs", "bpf",      "pstore", "efivarfs", "configfs", "fusectl",
    "mqueue",  "binfmt_misc", "selinuxfs", "smackfs", "nsfs",  "rpc_pipefs", "nfsd",
};

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

FolderProblem ProblemOf(int err) {
    switch (err) {
    case EACCES:
    case EPERM: return FolderProblem::Denied;
    case ENOENT:
    case ENOTDIR: return FolderProblem::Gone;
    case EMFILE:
    case ENFILE: return FolderProblem::NoRoom;
    default: return FolderProblem::Unreadable;
    }
}

// What holds for every folder of one walk: read once when the walk opens its root.
struct WalkContext {
    bool privileged = false;
    std::vector<dev_t> systemDevices;  // devices of the system file systems mounted now

    // Devices whose file system gave no generation number: not asked again during this walk
    // (on a share every refused question is a round trip). The walk's threads share it.
    bool NoGeneration(dev_t dev) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_noGeneration.begin(), m_noGeneration.end(), dev) != m_noGeneration.end();
    }
    void SetNoGeneration(dev_t dev) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (std::find(m_noGeneration.begin(), m_noGeneration.end(), dev) == m_noGeneration.end())
            m_noGeneration.push_back(dev);
    }

private:
    mutable std::mutex m_mutex;
    mutable std::vector<dev_t> m_noGeneration;
};

std::vector<dev_t> SystemDevices() {
    std::vector<dev_t> devices;
    FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    if (!mounts) return devices;
    char* line = nullptr;
    std::size_t size = 0;
    while (getline(&line, &size, mounts) > 0) {
        // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw": the device is the
        // third field, the type the first after the lone "-".
        unsigned major = 0, minor = 0;
        if (std::sscanf(line, "%*s %*s %u:%u", &major, &minor) != 2) continue;
        const char* dash = std::strstr(line, " - ");
        if (!dash) continue;
        char type[64] = {};
        if (std::sscanf(dash + 3, "%63s", type) != 1) continue;
        for (const char* system : kSystemTypes)
            if (std::strcmp(type, system) == 0) devices.push_back(makedev(major, minor));
    }
    std::free(line);
    std::fclose(mounts);
    return devices;
}

bool OnSystemFileSystem(int fd, dev_t dev, const WalkContext& context) {
    if (std::find(context.systemDevices.begin(), context.systemDevices.end(), dev) != context.systemDevices.end())
        return true;
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return false;
    const auto magic = static_cast<unsigned long>(fs.f_type) & 0xffffffffUL;
    return std::find(std::begin(kSystemMagic), std::end(kSystemMagic), magic) != std::end(kSystemMagic);
}

// What a folder's descriptor says of it: its identity, owner and device.
struct Looked {
    FileIdentity id;
    uid_t owner = 0;
    dev_t dev = 0;
};

bool LookAt(int fd, const WalkContext& context, Looked& out) {
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO | STATX_UID | STATX_BTIME, &sx) != 0) return false;
    if (!S_ISDIR(sx.stx_mode)) return false;
    out.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out.owner = sx.stx_uid;
    out.id.volume = static_cast<std::uint64_t>(out.dev);
    out.id.index = sx.stx_ino;
    // A birth time of 0 (the epoch) tells nothing: some file systems give it for "unknown".
    if ((sx.stx_mask & STATX_BTIME) != 0)
        out.id.birth = static_cast<std::uint64_t>(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec;
    if (out.id.birth == 0 && !context.NoGeneration(out.dev)) {
        // Asked only where there is no birth time: on a share the question costs a round trip.
        int generation = 0;
        if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0)
            out.id.generation = static_cast<std::uint32_t>(generation);
        else if (errno == ENOTTY || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)
            context.SetNoGeneration(out.dev);
    }
    return true;
}

class PosixFolder : public IFolder {
public:
    PosixFolder(int fd, const Looked& looked, std::shared_ptr<const WalkContext> context)
        : m_fd(fd), m_id(looked.id), m_dev(looked.dev), m_context(std::move(context)) {}
    ~PosixFolder() override { close(m_fd); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    // Takes over `fd` (closed unless a folder is made of it). `parentDev` is the device of the
    // folder it was opened in (0 for a root): only a folder on another device can be on
    // another file system.
    static OpenedFolder Adopt(int fd, dev_t parentDev, const std::shared_ptr<const WalkContext>& context,
                              Looked* looked = nullptr) {
        OpenedFolder opened;
        if (fd < 0) {
            opened.problem = ProblemOf(errno);
            return opened;
        }
        Looked seen;
        if (!LookAt(fd, *context, seen)) {
            opened.problem = errno == ENOMEM ? FolderProblem::Unreadable : FolderProblem::Gone;
            close(fd);
            return opened;
        }
        if ((parentDev == 0 || seen.dev != parentDev) && OnSystemFileSystem(fd, seen.dev, *context)) {
            opened.problem = FolderProblem::SystemFiles;
            close(fd);
            return opened;
        }
        if (looked) *looked = seen;
        opened.folder = std::make_unique<PosixFolder>(fd, seen, context);
        return opened;
    }

    FileIdentity Identity() const override { return m_id; }
    int Descriptor() const override { return m_fd; }

    FolderProblem ReadEntries(std::vector<FolderEntry>& entries) override {
        // getdents64 on the descriptor already open and checked: readdir would first fstat and
        // fcntl it again, a cost paid once per folder of the tree.
        const std::size_t before = entries.size();
        alignas(8) char buf[32768];
        while (true) {
            const ssize_t n = getdents64(m_fd, buf, sizeof buf);
            if (n == 0) return FolderProblem::None;
            if (n < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                entries.resize(before);
                return ProblemOf(err);
            }
            for (ssize_t at = 0; at < n;) {
                const auto* d = reinterpret_cast<const dirent64*>(buf + at);
                at += d->d_reclen;
                if (IsDots(d->d_name)) continue;
                entries.push_back({d->d_name, IsFolderEntry(m_fd, d->d_type, d->d_name)});
            }
        }
    }

    OpenedFolder OpenFolder(const std::string& name, Links links) override {
        if (name == "..") return Adopt(openat(m_fd, "..", kFolderFlags), 0, m_context);
        // The common case first: no link at the name.
        const int fd = openat(m_fd, name.c_str(), kFolderFlags | O_NOFOLLOW);
        if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return Adopt(fd, m_dev, m_context);
        struct stat link;
        if (fstatat(m_fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) return Adopt(-1, m_dev, m_context);
        if (!S_ISLNK(link.st_mode)) {
            OpenedFolder opened;
            opened.problem = FolderProblem::Gone;  // a file now
            return opened;
        }
        if (links == Links::Refuse) {
            OpenedFolder opened;
            opened.problem = FolderProblem::Changed;
            return opened;
        }
        // The link is followed one step at a time, so that every link met on the way counts
        // (a link of the tree may lead through another that a user swapped in) and no step goes
        // through a system file system (/proc/self/cwd leads elsewhere for every process).
        std::vector<uid_t> linkOwners;
        FolderProblem refused = FolderProblem::None;
        const int target = OpenFolderStepwise(m_fd, name, kFolderFlags, [&](const struct stat& st, int step) {
            if (S_ISLNK(st.st_mode)) {
                linkOwners.push_back(st.st_uid);
            } else if (OnSystemFileSystem(step, st.st_dev, *m_context)) {
                refused = FolderProblem::SystemFiles;
                errno = EXDEV;
                return false;
            }
            return true;
        });
        if (target < 0 && refused != FolderProblem::None) {
            OpenedFolder opened;
            opened.problem = refused;
            return opened;
        }
        Looked looked;
        OpenedFolder opened = Adopt(target, m_dev, m_context, &looked);
        if (!opened.folder) return opened;
        // A real folder may have taken the link's place meanwhile: then no link was followed.
        opened.throughLink = !linkOwners.empty();
        if (!m_context->privileged) return opened;
        const bool trusted = std::all_of(linkOwners.begin(), linkOwners.end(),
                                         [&](uid_t owner) { return owner == 0 || owner == looked.owner; });
        if (!trusted) {
            opened.folder.reset();
            opened.problem = FolderProblem::LinkOwner;
        }
        return opened;
    }

    bool RemoveFile(const std::string& name) override {
        struct stat st;
        return fstatat(m_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               unlinkat(m_fd, name.c_str(), 0) == 0;
    }

private:
    const int m_fd;
    const FileIdentity m_id;
    const dev_t m_dev;
    const std::shared_ptr<const WalkContext> m_context;
};

}  // namespace

bool MayBypassPermissions() {
    if (geteuid() == 0) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const auto has = [&](int cap) { return ((data[cap / 32].effective >> (cap % 32)) & 1u) != 0; };
    return has(CAP_DAC_OVERRIDE) || has(CAP_DAC_READ_SEARCH) || has(CAP_FOWNER);
}

OpenedFolder PosixFileSystem::OpenFolder(const std::string& path) {
    auto context = std::make_shared<WalkContext>();
    context->privileged = MayBypassPermissions();
    context->systemDevices = SystemDevices();
    return PosixFolder::Adopt(OpenDirectory(path), 0, context);
}

}  // namespace quorvel::posix
