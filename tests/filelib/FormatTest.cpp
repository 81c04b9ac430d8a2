// Reading .olv files: the probe, every class of bad input, the versions, the recoverable
// version-4 fault and its repair, and mutated files.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <new>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

// Records the largest single allocation, so tests can prove hostile headers allocate nothing big.
static std::atomic<std::size_t> g_largestAllocation{0};
void* operator new(std::size_t size) {
    std::size_t seen = g_largestAllocation.load();
    while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {}
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// Not inlined, so that the compiler does not pair free() with operator new at call sites.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace filetest;

const std::vector<std::string> kRecords = {"first", "", std::string("bin\0\xff", 5), "last record"};

// `bytes` with the byte at `at` changed.
std::string Flipped(std::string bytes, std::size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
    return bytes;
}

std::string Image(int version, bool fault = false, const std::vector<std::string>& records = kRecords) {
    std::string bytes;
    EXPECT_TRUE(WekEncode(version, records, fault, bytes));
    return bytes;
}

int Probe(const std::string& path, std::uint64_t* bytesRead = nullptr) {
    CWekFile f;
    f.m_nQuickFlag = 1;
    f.LoadQuick(path.c_str(), nullptr, 0);
    if (bytesRead) *bytesRead = f.BytesReadByLastCall();
    return f.GetSimpleVersion();
}

class OlvFormat : public FileTest {};

TEST_F(OlvFormat, BadInputsGiveAnErrorAndTheRightProbeNumber) {
    const std::string v5 = Image(5);
    // Index entries for crafted files: one empty record, and one 4-byte record with checksum 0.
    const std::string oneEntry(8, '\0');
    const std::string entry4("\x04\0\0\0\0\0\0\0", 8);
    struct Case {
        const char* name;
        std::string bytes;
        int probe;
        int load;
    } cases[] = {
        {"empty", "", 0, WEK_ERR_NOT_OLV},
        {"short", "OLV", 0, WEK_ERR_NOT_OLV},
        {"wrong magic", "OLW\x1A" + v5.substr(4), 0, WEK_ERR_NOT_OLV},
        {"truncated header", v5.substr(0, 31), 0, WEK_ERR_NOT_OLV},
        {"version 0", Header(0, 0, 32), 0, WEK_ERR_UNSUPPORTED},
        {"future version", Header(9, 0, 32), 9, WEK_ERR_UNSUPPORTED},
        {"huge version", Header(0xFFFFFFFFu, 0, 32), INT32_MAX, WEK_ERR_UNSUPPORTED},
        {"header checksum", v5.substr(0, 8) + "\x05" + v5.substr(9), 5, WEK_ERR_CORRUPT},
        {"checksums in version 2", Header(2, 0, 32, 7), 2, WEK_ERR_CORRUPT},
        {"flags", Header(2, 0, 32, 0, 1), 2, WEK_ERR_CORRUPT},
        {"body cut short", v5.substr(0, v5.size() - 1), 5, WEK_ERR_CORRUPT},
        {"bytes appended", v5 + "x", 5, WEK_ERR_CORRUPT},
        {"index before the header end", Header(2, 0, 8) + std::string(24, '\0'), 2, WEK_ERR_CORRUPT},
        {"index past the end", Header(2, 0, 4096), 2, WEK_ERR_CORRUPT},
        {"index offset 2^64-1", Header(2, 1, UINT64_MAX) + oneEntry, 2, WEK_ERR_CORRUPT},
        {"2^31 records", Header(2, 0x80000000u, 32) + oneEntry, 2, WEK_ERR_CORRUPT},
        {"2^32-1 records", Header(5, 0xFFFFFFFFu, 32) + oneEntry, 5, WEK_ERR_CORRUPT},
        {"record past the data", Header(2, 1, 32) + "\x01" + std::string(7, '\0'), 2, WEK_ERR_CORRUPT},
        {"length 2^32-1", Header(2, 1, 36) + "abcd" + std::string(4, '\xff') + std::string(4, '\0'), 2,
         WEK_ERR_CORRUPT},
        {"gap before the index", Header(2, 1, 36) + "abcd" + oneEntry, 2, WEK_ERR_CORRUPT},
        {"record checksum", Header(5, 1, 36, Crc32(entry4)) + "abcd" + entry4, 5, WEK_ERR_CORRUPT},
        {"stale index checksum in version 5", Header(5, 1, 32, ~Crc32(oneEntry)) + oneEntry, 5, WEK_ERR_CORRUPT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path("bad.olv");
        WriteBytes(path, c.bytes);
        EXPECT_EQ(Probe(path), c.probe);
        CWekFile f;
        g_largestAllocation = 0;
        EXPECT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), c.load);
        EXPECT_LT(g_largestAllocation.load(), 4096u) << "allocation driven by the header";
        EXPECT_TRUE(f.Records().empty());
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_NOTHING_LOADED);
        EXPECT_EQ(ReadBytes(path), c.bytes);
        EXPECT_LT(WekVerify(path.c_str()), 0);
    }
}

TEST_F(OlvFormat, UnopenablePathsProbeAsMinusOne) {
    ASSERT_EQ(mkfifo(Path("pipe.olv").c_str(), 0644), 0);
    for (const std::string& path : {Path("missing.olv"), dir, Path("pipe.olv"), Path("missing/x.olv"), std::string()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Probe(path), -1);
        CWekFile f;
        EXPECT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_ERR_OPEN);
        EXPECT_EQ(f.GetSimpleVersion(), -1);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_ERR_OPEN);
    }
}

TEST_F(OlvFormat, ProbeReadsOnlyTheHeaderOfAHugeFile) {
    const std::string path = Path("huge.olv");
    WriteBytes(path, Header(4, 0, 32));
    ASSERT_EQ(truncate(path.c_str(), off_t{1} << 40), 0);  // sparse: takes no disk space
    std::uint64_t bytesRead = 0;
    EXPECT_EQ(Probe(path, &bytesRead), 4);
    EXPECT_EQ(bytesRead, 32u);
}

TEST_F(OlvFormat, EveryVersionLoadsAndResavesToTheSameBytes) {
    for (int version = 1; version <= 5; ++version) {
        SCOPED_TRACE(version);
        const std::string path = Path("v.olv");
        ASSERT_EQ(WekWriteSample(path.c_str(), version, kRecords, false), WEK_OK);
        const std::string before = ReadBytes(path);
        EXPECT_EQ(Probe(path), version);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        EXPECT_EQ(f.GetSimpleVersion(), version);
        EXPECT_EQ(f.Records(), kRecords);
        EXPECT_FALSE(f.HadRecoverableFault());
        f.SetModified(1, 1);
        ASSERT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, version), WEK_OK);
        EXPECT_EQ(ReadBytes(path), before);
    }
}

TEST_F(OlvFormat, ChecksumsAreStandardCrc32) {
    const std::string image = Image(5, false, {"123456789"});
    // The record's checksum is the second half of the only index entry, at the end of the file.
    EXPECT_EQ(image.substr(image.size() - 4), std::string("\x26\x39\xF4\xCB", 4));
    EXPECT_EQ(image.substr(0, 32), Header(5, 1, 41, Crc32(image.substr(41))));
}

TEST_F(OlvFormat, TheVersion4FaultIsToleratedOnceAndRepairedBySaving) {
    const std::string path = Path("fault.olv");
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    EXPECT_EQ(Probe(path), 4);
    std::string detail;
    EXPECT_EQ(WekVerify(path.c_str(), &detail), WEK_ERR_CORRUPT);
    EXPECT_NE(detail.find("recoverable"), std::string::npos);

    CWekFile f;
    ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    EXPECT_TRUE(f.HadRecoverableFault());
    EXPECT_EQ(f.GetSimpleVersion(), 4);
    f.SetModified(1, 1);
    ASSERT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    EXPECT_EQ(ReadBytes(path), Image(4));

    // Without the quick flag, LoadQuick is a full Load.
    CWekFile again;
    ASSERT_EQ(again.LoadQuick(path.c_str(), nullptr, 0), WEK_OK);
    EXPECT_FALSE(again.HadRecoverableFault());
    EXPECT_EQ(again.Records(), kRecords);

    std::string bytes;
    EXPECT_FALSE(WekEncode(5, kRecords, true, bytes)) << "only version 4 has the fault";
}

// Flips bits in every byte and cuts the file at every length: never a crash, and in a file with
// checksums every single change is caught, even where the version-4 fault is tolerated.
TEST_F(OlvFormat, MutatedFilesAreAlwaysRejected) {
    const std::string path = Path("fuzz.olv");
    for (int version : {2, 4, 5}) {
        const std::string good = Image(version, version == 4);
        std::vector<std::string> variants;
        for (std::size_t at = 0; at < good.size(); ++at)
            for (int mask : {0x01, 0x80, 0xFF}) {
                std::string v = good;
                v[at] = static_cast<char>(v[at] ^ mask);
                variants.push_back(v);
            }
        const std::size_t flips = variants.size();
        for (std::size_t len = 0; len < good.size(); ++len) variants.push_back(good.substr(0, len));
        for (std::size_t i = 0; i < variants.size(); ++i) {
            WriteBytes(path, variants[i]);
            Probe(path);
            CWekFile f;
            const int status = f.Load(path.c_str(), nullptr, nullptr, 0, 0);
            if (version >= 3 || i >= flips) {
                EXPECT_LT(status, 0) << "version " << version << ", variant " << i;
            } else if (status == WEK_OK) {
                EXPECT_EQ(f.Records().size(), kRecords.size());
            }
        }
    }
}

// Files over a megabyte are read piece by piece, records spanning the pieces: the verdicts are
// those of a small file, and a valid one saves back to the same bytes.
TEST_F(OlvFormat, LargeFilesAreReadInPiecesWithTheSameVerdicts) {
    std::vector<std::string> records;
    for (int i = 0; i < 3; ++i) {
        std::string r(900 * 1024 + i, '\0');
        for (std::size_t k = 0; k < r.size(); ++k) r[k] = static_cast<char>((k * 7 + i) & 0xFF);
        records.push_back(r);
    }
    std::string good, faulty;
    ASSERT_TRUE(WekEncode(4, records, false, good));
    ASSERT_TRUE(WekEncode(4, records, true, faulty));
    const std::size_t last = good.size() - 1, spanning = 32 + 900 * 1024 + 200 * 1024;  // in record 2, past 1 MiB
    const struct {
        const char* what;
        std::string bytes;
        int load, verify;
    } cases[] = {
        {"valid", good, WEK_OK, WEK_OK},
        {"the recoverable fault", faulty, WEK_OK, WEK_ERR_CORRUPT},
        {"a byte of the first record", Flipped(good, 40), WEK_ERR_CORRUPT, WEK_ERR_CORRUPT},
        {"a byte of a record across the first megabyte", Flipped(good, spanning), WEK_ERR_CORRUPT, WEK_ERR_CORRUPT},
        {"a byte of the last record", Flipped(good, last - 24 - 1), WEK_ERR_CORRUPT, WEK_ERR_CORRUPT},
        {"the last index byte", Flipped(good, last), WEK_ERR_CORRUPT, WEK_ERR_CORRUPT},
        {"cut short", good.substr(0, last), WEK_ERR_CORRUPT, WEK_ERR_CORRUPT},
        {"a byte appended", good + "x", WEK_ERR_CORRUPT, WEK_ERR_CORRUPT},
    };
    const std::string path = Path("large.olv");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(path, c.bytes);
        CWekFile f;
        EXPECT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), c.load);
        EXPECT_EQ(WekVerify(path.c_str()), c.verify);
        if (c.load != WEK_OK) continue;
        EXPECT_EQ(f.Records(), records);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
        EXPECT_EQ(ReadBytes(path), good);
    }
}

TEST(OlvStatusText, EveryStatusHasItsOwnShortText) {
    std::set<std::string> texts;
    for (int s = WEK_ERR_MOVED_ASIDE; s <= WEK_OK; ++s) {
        texts.insert(WekStatusText(s));
        // The dialog shows them after "4 - failed: ": short, lower case.
        EXPECT_LE(std::string(WekStatusText(s)).size(), 40u) << s;
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(WekStatusText(s)[0]))) << s;
    }
    EXPECT_EQ(texts.size(), 20u);
    EXPECT_STREQ(WekStatusText(-1000), "unknown error");
}

}  // namespace
