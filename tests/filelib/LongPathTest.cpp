// Opening folders by paths of any length.
#include <cerrno>

#include "base/LongPath.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;
using quorvel::posix::OpenDirectory;
using quorvel::posix::OpenParentDirectory;

// Whether `fd` is open on the folder `expected` describes; closes `fd`.
bool IsFolder(int fd, const struct stat& expected) {
    struct stat st {};
    const bool same = fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == expected.st_dev && st.st_ino == expected.st_ino;
    if (fd >= 0) close(fd);
    return same;
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

class LongPathOpen : public FileTest {};

TEST_F(LongPathOpen, OpensDeepFoldersHoweverTheyAreSpelt) {
    ASSERT_EQ(mkdir(Path("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", Path("link").c_str()), 0);
    struct stat deepest {};
    const std::string deep = MakeDeepFolder(Path("real"), 9000, &deepest);
    const std::string below = deep.substr(Path("real").size());
    for (const std::string& path : {deep, Path("link") + below, dir + "//./real/" + below + "/"}) {
        std::string leaf;
        EXPECT_TRUE(IsFolder(OpenDirectory(path), deepest));
        EXPECT_TRUE(IsFolder(OpenParentDirectory(path + "/file.olv", leaf), deepest));
        EXPECT_EQ(leaf, "file.olv");
    }
    EXPECT_EQ(OpenDirectory(deep + "/missing/x"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(OpenDirectory(deep + "/" + std::string(300, 'n')), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(LongPathOpen, SplitsShortPathsIntoFolderAndLeaf) {
    ASSERT_EQ(mkdir(Path("a").c_str(), 0755), 0);
    struct Case {
        std::string path, leaf, folder;
    } cases[] = {
        {Path("a/x.olv"), "x.olv", Path("a")}, {Path("a/sub/"), "sub", Path("a")},
        {"/etc", "etc", "/"},                  {"x.olv", "x.olv", "."},
    };
    for (const Case& c : cases) {
        std::string leaf;
        EXPECT_TRUE(IsFolder(OpenParentDirectory(c.path, leaf), StatOf(c.folder))) << c.path;
        EXPECT_EQ(leaf, c.leaf);
    }
    EXPECT_TRUE(IsFolder(OpenDirectory(""), StatOf("/")));
    std::string leaf;
    for (const char* path : {"", "///"}) {
        EXPECT_EQ(OpenParentDirectory(path, leaf), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(OpenParentDirectory(Path("missing/x.olv"), leaf), -1);
}

}  // namespace
