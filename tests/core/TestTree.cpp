#include "tests/core/TestTree.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "filelib/WekVerify.h"
#include "base/LongPath.h"

namespace quorvel::test {

namespace {

// Creates every folder of `path` below `root` with mkdirat, so that paths longer than the
// platform's limit work too.
void MakeFolders(const std::string& path) {
    std::size_t at = 1;
    while ((at = path.find('/', at)) != std::string::npos) {
        std::string leaf;
        const int dirfd = posix::OpenParentDirectory(path.substr(0, at), leaf);
        if (dirfd < 0) throw std::runtime_error("cannot open parent of " + path.substr(0, at));
        mkdirat(dirfd, leaf.c_str(), 0755);
        close(dirfd);
        ++at;
    }
}

}  // namespace

TempTree::TempTree(const std::string& base) {
    std::string pattern = base + "/quorvel-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + base);
    m_root = pattern;
}

TempTree::~TempTree() {
    // rm copes with paths beyond the platform's limit and with mode-000 folders as root.
    const std::string cmd = "chmod -R u+rwx '" + m_root + "' 2>/dev/null; rm -rf '" + m_root + "'";
    if (std::system(cmd.c_str()) != 0) {
        // Leaving a temporary folder behind is not worth failing a test for.
    }
}

std::string TempTree::Folder(const std::string& rel) const {
    const std::string path = Path(rel);
    MakeFolders(path + "/");
    return path;
}

std::string TempTree::Olv(const std::string& rel, int version, bool fault) const {
    const std::string path = Path(rel);
    MakeFolders(path);
    const std::vector<std::string> records = {"first record of " + rel, "second", ""};
    if (WekWriteSample(path.c_str(), version, records, fault) != WEK_OK)
        throw std::runtime_error("cannot write sample " + path);
    return path;
}

std::string TempTree::Raw(const std::string& rel, const std::string& bytes) const {
    const std::string path = Path(rel);
    MakeFolders(path);
    std::string leaf;
    const int dirfd = posix::OpenParentDirectory(path, leaf);
    const int fd = dirfd < 0 ? -1
                             : openat(dirfd, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                                      0644);
    if (dirfd >= 0) close(dirfd);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot write " + path);
    }
    close(fd);
    return path;
}

std::string TempTree::Link(const std::string& rel, const std::string& target) const {
    const std::string path = Path(rel);
    MakeFolders(path);
    if (symlink(target.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot link " + path);
    return path;
}

std::string ReadAll(const std::string& path) {
    std::string leaf;
    const int dirfd = posix::OpenParentDirectory(path, leaf);
    if (dirfd < 0) return {};
    const int fd = openat(dirfd, leaf.c_str(), O_RDONLY | O_CLOEXEC);
    close(dirfd);
    if (fd < 0) return {};
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return out;
}

struct stat StatOf(const std::string& path, bool noFollow) {
    struct stat st {};
    std::string leaf;
    const int dirfd = posix::OpenParentDirectory(path, leaf);
    if (dirfd < 0) return st;
    if (fstatat(dirfd, leaf.c_str(), &st, noFollow ? AT_SYMLINK_NOFOLLOW : 0) != 0) st = {};
    close(dirfd);
    return st;
}

std::vector<std::string> Leftovers(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(".olvsave-", 0) == 0)
            found.push_back(std::filesystem::relative(it->path(), root).string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool VerifiesStrictly(const std::string& path) { return WekVerify(path.c_str()) == WEK_OK; }

std::string InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    // What is buffered is written once, by the parent.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return "no fork";
    if (pid == 0) {
        close(fds[0]);
        const std::string out = body();
        const ssize_t n = write(fds[1], out.data(), out.size());
        _exit(n == static_cast<ssize_t>(out.size()) ? 0 : 4);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0) return "exit " + std::to_string(WEXITSTATUS(status));
    return out;
}

bool BecomeUser(uid_t uid) {
    if (geteuid() != 0) return geteuid() == uid;
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

}  // namespace quorvel::test
