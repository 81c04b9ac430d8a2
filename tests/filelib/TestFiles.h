// Helpers for the file library tests: a scratch folder per test, whole-file reads and writes,
// folder listings, deep folder chains built with openat(), .olv images built by hand, and
// running a piece of a test as another user.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace filetest {

// Deletes `name` in `parent` with everything below it; works at any depth.
inline void RemoveTree(int parent, const std::string& name) {
    if (unlinkat(parent, name.c_str(), 0) == 0) return;
    const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    if (DIR* d = fdopendir(fd)) {
        std::vector<std::string> names;
        while (const dirent* e = readdir(d)) names.emplace_back(e->d_name);
        for (const std::string& n : names)
            if (n != "." && n != "..") RemoveTree(dirfd(d), n);
        closedir(d);
    }
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// A fresh, empty folder for each test, removed afterwards.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-filelib-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { RemoveTree(AT_FDCWD, dir); }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

// The status of `path` itself (a link is not followed); all zero when it does not exist.
inline struct stat LinkStatus(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) st = {};
    return st;
}

// Runs `body` in a child process, as user and group `id` when `id` is not -1 (which needs
// root), and returns its exit code, or -1 when it did not exit normally.
inline int RunInChild(const std::function<int()>& body, int id = -1) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (id >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(id)) != 0 ||
                        setuid(static_cast<uid_t>(id)) != 0))
            _exit(125);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// An unprivileged user and group id for tests that run as root ("nobody" on Debian).
constexpr int kNobody = 65534;

// Whom a child process runs as (needs root): a user, its group and its supplementary groups.
struct Identity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

// Takes on `who` in a child process; false when that failed.
inline bool Become(const Identity& who) {
    return setgroups(who.groups.size(), who.groups.data()) == 0 && setgid(who.gid) == 0 && setuid(who.uid) == 0;
}

// Runs `body` in a child process as `who` and returns its exit code, -1 when it did not exit
// normally, 125 when it could not take on `who`.
inline int RunAs(const Identity& who, const std::function<int()>& body) {
    return RunInChild([&] { return Become(who) ? body() : 125; });
}

// A child process that runs `step` again and again (as `who`, if given) until Stop, counting
// the runs and the runs that returned true: a racer or a reader working beside a test.
class Repeater {
public:
    explicit Repeater(std::function<bool()> step, const Identity* who = nullptr) {
        void* shared = mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(shared, MAP_FAILED);
        m_counts = new (shared) Counts;
        std::fflush(nullptr);
        m_child = fork();
        if (m_child == 0) {
            if (who && !Become(*who)) _exit(125);
            m_counts->ready = 1;
            while (!m_counts->stop.load()) {
                const bool hit = step();
                m_counts->hits += hit ? 1 : 0;
                ++m_counts->tries;
            }
            _exit(0);
        }
        EXPECT_GT(m_child, 0);
        while (m_child > 0 && !m_counts->ready.load() && waitpid(m_child, nullptr, WNOHANG) == 0) usleep(100);
    }
    ~Repeater() {
        Stop();
        munmap(m_counts, sizeof(Counts));
    }
    Repeater(const Repeater&) = delete;
    Repeater& operator=(const Repeater&) = delete;

    // Stops the child and waits for it.
    void Stop() {
        if (m_child <= 0) return;
        m_counts->stop = 1;
        int status = 0;
        waitpid(m_child, &status, 0);
        m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_child = -1;
    }
    long Tries() const { return m_counts->tries.load(); }
    long Hits() const { return m_counts->hits.load(); }
    int ExitCode() const { return m_exit; }

private:
    struct Counts {
        std::atomic<int> ready{0}, stop{0};
        std::atomic<long> tries{0}, hits{0};
    };
    Counts* m_counts = nullptr;
    pid_t m_child = -1;
    int m_exit = -1;
};

// Runs a shell command; true when it exits 0.
inline bool Shell(const std::string& command) {
    std::fflush(nullptr);
    return std::system(command.c_str()) == 0;
}

// Single quotes `text` for a shell command.
inline std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Creates folders of 100-byte names below `base` until the path is at least `length` bytes;
// `last`, if given, receives the deepest folder's stat.
inline std::string MakeDeepFolder(const std::string& base, std::size_t length, struct stat* last = nullptr) {
    std::string path = base;
    int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && path.size() < length; ++i) {
        const std::string name = "level" + std::to_string(i) + std::string(94, 'd');
        const int next = mkdirat(fd, name.c_str(), 0755) == 0 ? openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY) : -1;
        close(fd);
        fd = next;
        path += "/" + name;
    }
    EXPECT_GE(fd, 0);
    if (last) {
        EXPECT_EQ(fstat(fd, last), 0);
    }
    if (fd >= 0) close(fd);
    return path;
}

// CRC-32 written bitwise, independently of the library's table version.
inline std::uint32_t Crc32(const std::string& s) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char ch : s) {
        c ^= ch;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

inline void Put(std::string& b, std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// A 32-byte header as FORMAT.md lays it out, with a correct header checksum for versions 3+.
inline std::string Header(std::uint32_t version, std::uint32_t count, std::uint64_t indexOffset,
                          std::uint32_t indexCrc = 0, std::uint32_t flags = 0) {
    std::string h("OLV\x1A", 4);
    h.resize(32, '\0');
    Put(h, 4, version, 4);
    Put(h, 8, count, 4);
    Put(h, 12, flags, 4);
    Put(h, 16, indexOffset, 8);
    Put(h, 24, indexCrc, 4);
    if (version >= 3) Put(h, 28, Crc32(h.substr(0, 28)), 4);
    return h;
}

}  // namespace filetest
