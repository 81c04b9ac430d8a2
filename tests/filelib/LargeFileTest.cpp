// Files over 4 GiB: their sizes must survive every offset and size type of the build, 32-bit
// builds included (64-bit off_t there, a 32-bit size_t and address space).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

// Without these a 32-bit build fails fstat on files of 2 GiB or more and dates after 2038.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");

namespace {

using namespace filetest;

class LargeFile : public FileTest {
protected:
    // Writes `image`'s bytes at `offset` of the open file `fd`.
    static bool WriteAt(int fd, const std::string& image, std::uint64_t offset) {
        return pwrite(fd, image.data(), image.size(), static_cast<off_t>(offset)) ==
               static_cast<ssize_t>(image.size());
    }
};

// A valid version-2 file of 4 GiB + 4 KiB + 48 bytes, sparse: a record of 2^32 - 1 zero bytes
// and one of 4096, so that its index lies past 4 GiB. Version 2 has no checksums, so the
// file is valid without reading 4 GiB to compute them.
TEST_F(LargeFile, TheProbeReadsTheHeaderOfAFileOver4GiB) {
    const std::uint32_t lengths[] = {0xFFFFFFFFu, 4096};
    const std::uint64_t indexOffset = 32 + std::uint64_t{lengths[0]} + lengths[1];
    const std::uint64_t size = indexOffset + 8 * std::size(lengths);
    ASSERT_GT(indexOffset, std::uint64_t{1} << 32);

    const std::string path = Path("large.olv");
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const int error = errno;
        close(fd);
        GTEST_SKIP() << "the file system of " << dir << " cannot hold a sparse file of " << size
                     << " bytes (" << std::strerror(error) << ")";
    }
    std::string index(8 * std::size(lengths), '\0');
    for (std::size_t i = 0; i < std::size(lengths); ++i) Put(index, 8 * i, lengths[i], 4);
    const bool written = WriteAt(fd, Header(2, std::size(lengths), indexOffset), 0) &&
                         WriteAt(fd, index, indexOffset);
    ASSERT_EQ(close(fd), 0);
    ASSERT_TRUE(written) << std::strerror(errno);

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << std::strerror(errno);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size);

    CWekFile probe;
    probe.m_nQuickFlag = 1;
    EXPECT_EQ(probe.LoadQuick(path.c_str(), nullptr, 0), WEK_OK);
    EXPECT_EQ(probe.GetSimpleVersion(), 2);
    EXPECT_EQ(probe.BytesReadByLastCall(), 32u);

    // The strict check streams: a version-2 file has no checksums, so it reads the header and
    // the index and nothing of the 4 GiB of records, in any build.
    std::string detail;
    EXPECT_EQ(WekVerify(path.c_str(), &detail), WEK_OK) << detail;
    if (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        // More bytes than the address space holds: refused as too large for memory before
        // anything is allocated, never cut down to the size's low 32 bits and read as a small file.
        CWekFile full;
        EXPECT_EQ(full.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_ERR_NO_MEMORY);
        EXPECT_LE(full.BytesReadByLastCall(), 32u);
        EXPECT_EQ(full.RecordCount(), 0u);
        EXPECT_EQ(full.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_NOTHING_LOADED);
    }
    // A 64-bit build would load it whole: 4 GiB of memory and a 4 GiB read, too much for a test.
}

// Times past January 2038 do not fit a 32-bit time_t: a 32-bit build without 64-bit times fails
// fstat on such a file, and the file would be listed as unreadable and never repaired.
TEST_F(LargeFile, FilesDatedAfter2038AreProbedLoadedAndSaved) {
    const std::string path = Path("future.olv");
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, {"a record", "another"}, true), WEK_OK);
    const std::time_t when = 2208988800;  // 2040-01-01 00:00:00 UTC
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        GTEST_SKIP() << "the file system of " << dir << " cannot date a file in 2040 ("
                     << std::strerror(errno) << ")";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << std::strerror(errno);
    if (st.st_mtime != when) GTEST_SKIP() << "the file system of " << dir << " stores no date in 2040";

    CWekFile probe;
    probe.m_nQuickFlag = 1;
    EXPECT_EQ(probe.LoadQuick(path.c_str(), nullptr, 0), WEK_OK);
    EXPECT_EQ(probe.GetSimpleVersion(), 4);
    CWekFile full;
    ASSERT_EQ(full.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    EXPECT_TRUE(full.HadRecoverableFault());
    full.SetModified(1, 0);
    ASSERT_EQ(full.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
}

}  // namespace
