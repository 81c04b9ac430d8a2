// Fixture trees for the dialog tests: a temporary folder made and removed by the test,
// with helpers that create folders, links and sample .olv files inside it.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace quorvel::test {

class TempTree {
public:
    // A new folder under `base`.
    explicit TempTree(const std::string& base = "/tmp");
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The tree's root folder, without a trailing separator.
    const std::string& Root() const { return m_root; }
    // Root + "/" + rel.
    std::string Path(const std::string& rel) const { return m_root + "/" + rel; }
    // Creates a folder (and its parents) below the root; returns its full path.
    std::string Folder(const std::string& rel) const;
    // Writes a valid .olv file of `version` (with the recoverable fault if asked); returns its path.
    std::string Olv(const std::string& rel, int version, bool fault = false) const;
    // Writes raw bytes; returns the path.
    std::string Raw(const std::string& rel, const std::string& bytes) const;
    // Creates a symbolic link `rel` pointing at `target`; returns its path.
    std::string Link(const std::string& rel, const std::string& target) const;

private:
    std::string m_root;
};

// The file's whole content; empty when it cannot be read.
std::string ReadAll(const std::string& path);
// The file's status (lstat when `noFollow`); st_nlink is 0 when it does not exist.
struct stat StatOf(const std::string& path, bool noFollow = false);
// Files beneath `root` that a save leaves only while it runs (its temporary files), as paths
// relative to `root`, sorted.
std::vector<std::string> Leftovers(const std::string& root);
// True when the library's strict check accepts the file.
bool VerifiesStrictly(const std::string& path);

// Runs `body` in a child process and returns what it returned; "exit N" or "signal N" when the
// child did not end normally. For work under another user or other limits than the test's.
std::string InChild(const std::function<std::string()>& body);
// In a child process as root: becomes the unprivileged user `uid` (its group too); false when
// that is not possible.
bool BecomeUser(uid_t uid);
// The user tests run unprivileged work as.
inline constexpr uid_t kNobody = 65534;

}  // namespace quorvel::test
