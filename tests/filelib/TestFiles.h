// Helpers for the file library tests: a scratch folder per test, whole-file reads and writes,
// folder listings, deep folder chains built with openat(), .olv images built by hand, and
// running a piece of a test as another user.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
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
