// CWekFile and the .olv format (filelib/FORMAT.md): parsing, encoding, strict checking.
#include "filelib/WekFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "filelib/FileIO.h"
#include "filelib/WekVerify.h"

namespace {

constexpr char kMagic[4] = {'O', 'L', 'V', '\x1A'};
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kEntrySize = 8;
constexpr std::uint32_t kNewestVersion = 5;
// Header field offsets.
constexpr std::size_t kOffVersion = 4, kOffCount = 8, kOffFlags = 12, kOffIndex = 16,
                      kOffIndexCrc = 24, kOffHeaderCrc = 28;

// The stages at which the test seam makes saves fail, one bit each.
std::atomic<unsigned> g_saveFailureStages{0};
std::atomic<bool> g_replaceFileForTest{false};
std::atomic<void (*)(WekSaveStage, void*)> g_hook{nullptr};
std::atomic<void*> g_hookContext{nullptr};
std::atomic<std::int64_t> g_damage{-1};
std::atomic<bool> g_skipReadBack{false};

// The longest file name most file systems take, in bytes.
constexpr std::size_t kMaxNameBytes = 255;
constexpr char kBackupSuffix[] = ".olvkeep";
constexpr char kTemporaryPrefix[] = ".olvsave-";
constexpr char kTemporarySuffix[] = ".tmp";

// Reads a decimal number of 1 to `maxDigits` digits at `text[at]` up to `stop`; false otherwise.
bool ParseDigits(const std::string& text, std::size_t at, std::size_t stop, std::size_t maxDigits, std::uint64_t& value) {
    if (stop <= at || stop - at > maxDigits) return false;
    value = 0;
    for (std::size_t i = at; i < stop; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

// CRC-32 (IEEE 802.3, reflected, as used by zip and PNG), eight bytes at a step.
class Crc32Tables {
public:
    Crc32Tables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; ++i)
            for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    }
    std::uint32_t t[8][256];
};

// Continues a CRC-32 whose running value (before the final inversion) is `state`.
std::uint32_t Crc32Update(std::uint32_t state, const char* data, std::size_t size) {
    static const Crc32Tables tables;
    const auto& t = tables.t;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    for (; size >= 8; size -= 8, p += 8) {
        const std::uint32_t lo = state ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                                          std::uint32_t{p[3]} << 24);
        state = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
                t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; size > 0; --size, ++p) state = t[0][(state ^ *p) & 0xFFu] ^ (state >> 8);
    return state;
}

std::uint32_t Crc32(const char* data, std::size_t size) { return ~Crc32Update(0xFFFFFFFFu, data, size); }

std::uint64_t GetLE(const char* b, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[i]);
    return v;
}
std::uint32_t GetU32(const char* b) { return static_cast<std::uint32_t>(GetLE(b, 4)); }

void PutLE(char* b, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFFu);
}

// Versions 1 and 2 carry no checksums; their checksum fields are zero.
bool HasChecksums(std::uint32_t version) { return version >= 3; }

// The number GetSimpleVersion shows for a header's version field.
int ShownVersion(std::uint32_t version) {
    return static_cast<int>(std::min<std::uint32_t>(version, INT_MAX));
}

// Files are read and written in pieces of this size (a multiple of an index entry).
constexpr std::size_t kPiece = std::size_t{1} << 20;
// Files up to this size are read in one read.
constexpr std::uint64_t kSmallFile = std::uint64_t{1} << 20;

// What a decode is for.
enum class Goal {
    Load,    // keep the records, tolerate the recoverable fault
    Verify,  // check strictly, keep nothing but what the check needs
    Match,   // the file must hold exactly the records `expect` (and `expectVersion`)
};

// Whether a file matched against records must have the recoverable fault.
enum class Fault { Absent, Present, Either };

struct Decoded {
    int status = WEK_OK;
    int version = 0;      // what GetSimpleVersion shows
    bool fault = false;   // the recoverable version-4 fault was found
    std::string detail;   // one line for olvtool
    std::uint64_t bytesRead = 0;
};

Decoded Fail(Decoded d, int status, std::string detail) {
    d.status = status;
    d.detail = std::move(detail);
    return d;
}

// Decodes the file of `size` bytes that `read` reads, in pieces: the header, then the index,
// then the records. With Goal::Load the records go to `out`; with Goal::Match they are compared
// with `expect` (whose CRCs must all be there), which the file must hold in `expectVersion`,
// with the recoverable fault exactly when `fault` says so. Every offset and length is checked
// against the size before use, in 64-bit arithmetic that cannot overflow (all fields are at
// most 2^32 or bounded by the size), and nothing is allocated for the records before the size
// is known to hold them. `checking` is called once everything is read, before the records'
// checksums are compared. Throws std::bad_alloc when memory runs out.
Decoded Decode(std::uint64_t size, const wekio::ReadAt& read, Goal goal, wekio::RecordSet* out,
               const wekio::RecordSet* expect = nullptr, std::uint32_t expectVersion = 0, Fault fault = Fault::Absent,
               const std::function<bool()>& checking = nullptr) {
    Decoded d;
    // A small file is read whole, in one read (on a share every read is a round trip); a larger
    // one piece by piece.
    std::unique_ptr<char[]> whole;
    if (size > kHeaderSize && size <= kSmallFile) {
        whole.reset(new char[static_cast<std::size_t>(size)]);
        if (!read(0, whole.get(), static_cast<std::size_t>(size))) return Fail(d, WEK_ERR_READ, "read failed");
        d.bytesRead = size;
    }
    const auto readAt = [&](std::uint64_t offset, char* buffer, std::size_t n) {
        if (whole) {
            if (offset > size || n > size - offset) return false;
            std::memcpy(buffer, whole.get() + offset, n);
            return true;
        }
        if (!read(offset, buffer, n)) return false;
        d.bytesRead += n;
        return true;
    };
    char header[kHeaderSize];
    if (size < kHeaderSize) {
        // Still read what there is: the probe's callers and the counters see one read.
        if (size > 0 && !readAt(0, header, static_cast<std::size_t>(size))) return Fail(d, WEK_ERR_READ, "read failed");
        return Fail(d, WEK_ERR_NOT_OLV, "too short for an .olv header");
    }
    if (!readAt(0, header, kHeaderSize)) return Fail(d, WEK_ERR_READ, "read failed");
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return Fail(d, WEK_ERR_NOT_OLV, "no .olv magic number");
    const std::uint32_t version = GetU32(header + kOffVersion);
    d.version = ShownVersion(version);
    const bool expected = goal == Goal::Match && version == expectVersion;
    if (goal == Goal::Match && !expected) return Fail(d, WEK_ERR_CORRUPT, "another version");
    if ((version < 1 || version > kNewestVersion) && !expected)
        return Fail(d, WEK_ERR_UNSUPPORTED, "version " + std::to_string(version) + " is not supported");
    const bool sums = HasChecksums(version);
    const std::uint32_t count = GetU32(header + kOffCount);
    const std::uint64_t indexOffset = GetLE(header + kOffIndex, 8);
    const std::uint32_t indexCrc = GetU32(header + kOffIndexCrc);
    const std::uint32_t headerCrc = GetU32(header + kOffHeaderCrc);

    if (sums ? headerCrc != Crc32(header, kOffHeaderCrc) : (headerCrc != 0 || indexCrc != 0))
        return Fail(d, WEK_ERR_CORRUPT, "header checksum does not match");
    if (GetU32(header + kOffFlags) != 0) return Fail(d, WEK_ERR_CORRUPT, "unknown header flags");
    if (indexOffset < kHeaderSize || indexOffset > size)
        return Fail(d, WEK_ERR_CORRUPT, "index offset points outside the file");
    // The index ends exactly at the end of the file: this catches truncation, appended bytes
    // and record counts the file cannot hold, before anything is allocated for the records.
    if (size - indexOffset != std::uint64_t{count} * kEntrySize)
        return Fail(d, WEK_ERR_CORRUPT, "record count does not match the file size");
    if (goal == Goal::Match && expect->lengths.size() != count) return Fail(d, WEK_ERR_CORRUPT, "another record count");
    const std::uint64_t dataSize = indexOffset - kHeaderSize;
    wekio::RecordSet scratch;
    wekio::RecordSet& records = out ? *out : scratch;
    // More than this process can address (a 32-bit build): refused before anything is allocated.
    if (goal == Goal::Load && (dataSize > records.data.max_size() || count > records.lengths.max_size()))
        return Fail(d, WEK_ERR_NO_MEMORY, "too large for this process's memory");

    // The index: each record's length and checksum. Lengths are checked as they come, so that
    // they never add up past the records' room.
    if (goal != Goal::Match) {
        records.lengths.reserve(count);
        if (sums) records.crcs.reserve(count);
    }
    // A buffer for the pieces; not filled first, every byte used is read into it.
    const std::size_t pieceSize = static_cast<std::size_t>(
        std::min<std::uint64_t>(kPiece, std::max<std::uint64_t>(size - indexOffset, goal == Goal::Load ? 0 : dataSize)));
    const std::unique_ptr<char[]> buffer(new char[std::max<std::size_t>(pieceSize, 1)]);
    struct {
        char* p;
        std::size_t n;
        char* data() const { return p; }
        std::size_t size() const { return n; }
    } piece{buffer.get(), pieceSize};
    std::uint32_t indexState = 0xFFFFFFFFu;
    std::uint64_t pos = 0;  // where the next record starts, from the start of the records
    for (std::uint64_t done = 0, total = std::uint64_t{count} * kEntrySize; done < total;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), total - done));
        if (!readAt(indexOffset + done, piece.data(), n)) return Fail(d, WEK_ERR_READ, "read failed");
        indexState = Crc32Update(indexState, piece.data(), n);
        for (std::size_t at = 0; at < n; at += kEntrySize) {
            const std::uint32_t i = static_cast<std::uint32_t>((done + at) / kEntrySize);
            const std::uint32_t length = GetU32(piece.data() + at), crc = GetU32(piece.data() + at + 4);
            const auto where = [i] { return "record " + std::to_string(std::uint64_t{i} + 1); };
            if (length > dataSize - pos) return Fail(d, WEK_ERR_CORRUPT, where() + " runs past the data");
            if (!sums && crc != 0) return Fail(d, WEK_ERR_CORRUPT, where() + " checksum does not match");
            if (goal == Goal::Match) {
                if (length != expect->lengths[i] || (sums && crc != expect->crcs[i]))
                    return Fail(d, WEK_ERR_CORRUPT, where() + " differs");
            } else {
                records.lengths.push_back(length);
                if (sums) records.crcs.push_back(crc);
            }
            pos += length;
        }
        done += n;
    }
    if (pos != dataSize) return Fail(d, WEK_ERR_CORRUPT, "bytes between the records and the index");
    const bool indexMatches = !sums || indexCrc == ~indexState;

    // The records. Loading keeps them; matching compares them with the expected bytes, whose
    // checksums (the index's, compared above) are known; a strict check reads them only to
    // compare their checksums.
    if (goal == Goal::Load) {
        records.data.resize(static_cast<std::size_t>(dataSize));
        if (dataSize > 0 && !readAt(kHeaderSize, records.data.data(), records.data.size()))
            return Fail(d, WEK_ERR_READ, "read failed");
    } else if (goal == Goal::Match) {
        for (std::uint64_t done = 0; done < dataSize;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), dataSize - done));
            if (!readAt(kHeaderSize + done, piece.data(), n)) return Fail(d, WEK_ERR_READ, "read failed");
            if (std::memcmp(piece.data(), expect->data.data() + done, n) != 0)
                return Fail(d, WEK_ERR_CORRUPT, "a record differs");
            done += n;
        }
    }
    if (checking && !checking()) return Fail(d, WEK_ERR_CANCELLED, "cancelled");
    if (goal == Goal::Load && sums) {
        std::size_t at = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (Crc32(records.data.data() + at, records.lengths[i]) != records.crcs[i])
                return Fail(d, WEK_ERR_CORRUPT, "record " + std::to_string(std::uint64_t{i} + 1) + " checksum does not match");
            at += records.lengths[i];
        }
    } else if (goal == Goal::Verify && sums) {
        // Each record's checksum over the pieces it spans.
        std::uint32_t i = 0, state = 0xFFFFFFFFu;
        std::uint64_t left = count > 0 ? records.lengths[0] : 0;
        const auto finish = [&] {
            while (i < count && left == 0) {
                if (~state != records.crcs[i]) return false;
                state = 0xFFFFFFFFu;
                if (++i < count) left = records.lengths[i];
            }
            return true;
        };
        if (!finish()) return Fail(d, WEK_ERR_CORRUPT, "record " + std::to_string(std::uint64_t{i} + 1) + " checksum does not match");
        for (std::uint64_t done = 0; done < dataSize;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), dataSize - done));
            if (!readAt(kHeaderSize + done, piece.data(), n)) return Fail(d, WEK_ERR_READ, "read failed");
            for (std::size_t at = 0; at < n;) {
                const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, n - at));
                state = Crc32Update(state, piece.data() + at, step);
                at += step;
                left -= step;
                if (!finish())
                    return Fail(d, WEK_ERR_CORRUPT, "record " + std::to_string(std::uint64_t{i} + 1) + " checksum does not match");
            }
            done += n;
        }
    }

    if (!indexMatches) {
        if (version != 4) return Fail(d, WEK_ERR_CORRUPT, "index checksum does not match");
        if (goal == Goal::Verify)
            return Fail(d, WEK_ERR_CORRUPT, "stale index checksum (recoverable version-4 fault; resave repairs it)");
        if (goal == Goal::Match && fault == Fault::Absent) return Fail(d, WEK_ERR_CORRUPT, "index checksum does not match");
        d.fault = true;
    } else if (goal == Goal::Match && fault == Fault::Present) {
        return Fail(d, WEK_ERR_CORRUPT, "the index checksum is not the stale one");
    }
    d.detail = "version " + std::to_string(version) + ", " + std::to_string(count) + " records";
    return d;
}

// Computes the CRCs `records` lacks (a file of version 1 or 2 carries none).
void CompleteCrcs(wekio::RecordSet& records) {
    if (records.crcs.size() == records.lengths.size()) return;
    records.crcs.clear();
    records.crcs.reserve(records.lengths.size());
    std::size_t at = 0;
    for (std::uint32_t length : records.lengths) {
        records.crcs.push_back(Crc32(records.data.data() + at, length));
        at += length;
    }
}

// The content of a file of `version` holding `records` (with all their CRCs), written in
// pieces. `loadedVersion` is the version the records were read from (0: none).
class Image final : public wekio::Content {
public:
    Image(const wekio::RecordSet& records, std::uint32_t version, bool withFault, std::uint32_t loadedVersion)
        : m_records(records), m_version(version), m_withFault(withFault), m_loadedVersion(loadedVersion),
          m_piece(std::max<std::size_t>(kEntrySize, std::min<std::size_t>(kPiece, records.lengths.size() * kEntrySize))) {
        const std::uint64_t count = records.lengths.size();
        m_size = kHeaderSize + records.data.size() + count * kEntrySize;
        std::memcpy(m_header, kMagic, sizeof kMagic);
        std::memset(m_header + sizeof kMagic, 0, sizeof m_header - sizeof kMagic);
        PutLE(m_header + kOffVersion, version, 4);
        PutLE(m_header + kOffCount, count, 4);
        PutLE(m_header + kOffIndex, kHeaderSize + records.data.size(), 8);
        if (HasChecksums(version)) {
            std::uint32_t state = 0xFFFFFFFFu;
            ForEachIndexPiece([&](const char* data, std::size_t n) {
                state = Crc32Update(state, data, n);
                return true;
            });
            std::uint32_t indexCrc = ~state;
            // The fault as old version-4 writers left it: an index checksum that does not match.
            if (withFault) indexCrc = ~indexCrc;
            PutLE(m_header + kOffIndexCrc, indexCrc, 4);
            PutLE(m_header + kOffHeaderCrc, Crc32(m_header, kOffHeaderCrc), 4);
        }
    }

    std::uint64_t Size() const override { return m_size; }

    bool Produce(const wekio::WriteNext& write) const override {
        if (!write(m_header, kHeaderSize)) return false;
        // The records straight from memory, in large pieces.
        constexpr std::size_t kDataPiece = std::size_t{64} << 20;
        for (std::size_t done = 0; done < m_records.data.size();) {
            const std::size_t n = std::min(kDataPiece, m_records.data.size() - done);
            if (!write(m_records.data.data() + done, n)) return false;
            done += n;
        }
        return ForEachIndexPiece(write);
    }

    bool ReadsBack(std::uint64_t size, const wekio::ReadAt& read) const override {
        return size == m_size && Matches(size, read, m_version, m_withFault ? Fault::Present : Fault::Absent);
    }

    // The stale index checksum is the one thing a rewrite in the same version changes, so a copy
    // made before an earlier rewrite holds the same records with or without it.
    bool HoldsTheLoadedRecords(std::uint64_t size, const wekio::ReadAt& read) const override {
        return m_loadedVersion != 0 && Matches(size, read, m_loadedVersion, Fault::Either);
    }

private:
    // True when the file of `size` bytes that `read` reads holds exactly these records in
    // `version`. Never throws: a check that cannot be made (no memory for its buffer) fails.
    bool Matches(std::uint64_t size, const wekio::ReadAt& read, std::uint32_t version, Fault fault) const {
        try {
            return Decode(size, read, Goal::Match, nullptr, &m_records, version, fault).status == WEK_OK;
        } catch (const std::exception&) {
            return false;
        }
    }

    // Passes the index to `take` in pieces.
    template <typename Take>
    bool ForEachIndexPiece(const Take& take) const {
        const bool sums = HasChecksums(m_version);
        const std::size_t count = m_records.lengths.size();
        for (std::size_t i = 0; i < count;) {
            const std::size_t n = std::min(m_piece.size() / kEntrySize, count - i);
            for (std::size_t k = 0; k < n; ++k) {
                PutLE(m_piece.data() + k * kEntrySize, m_records.lengths[i + k], 4);
                PutLE(m_piece.data() + k * kEntrySize + 4, sums ? m_records.crcs[i + k] : 0, 4);
            }
            if (!take(static_cast<const char*>(m_piece.data()), n * kEntrySize)) return false;
            i += n;
        }
        return true;
    }

    const wekio::RecordSet& m_records;
    std::uint32_t m_version;
    bool m_withFault;
    std::uint32_t m_loadedVersion;
    std::uint64_t m_size = 0;
    char m_header[kHeaderSize];
    mutable std::vector<char> m_piece;
};

// Builds the record set of `records`; false when one is too long for the format.
bool ToRecordSet(const std::vector<std::string>& records, wekio::RecordSet& set) {
    if (records.size() > UINT32_MAX) return false;
    std::uint64_t dataSize = 0;
    for (const std::string& r : records) {
        if (r.size() > UINT32_MAX) return false;
        dataSize += r.size();
    }
    if (dataSize > set.data.max_size()) return false;
    set.data.reserve(static_cast<std::size_t>(dataSize));
    for (const std::string& r : records) {
        set.data += r;
        set.lengths.push_back(static_cast<std::uint32_t>(r.size()));
    }
    CompleteCrcs(set);
    return true;
}

bool Cancelled(WekProgressProc pfn, void* context, int percent, const char* stage) {
    return pfn && pfn(percent, stage, context) != 0;
}

}  // namespace

const char* WekStatusText(int status) {
    if (status >= 0) return "ok";
    switch (status) {
    case WEK_ERR_OPEN: return "could not be opened";
    case WEK_ERR_READ: return "could not be read";
    case WEK_ERR_NOT_OLV: return "not an .olv file any more";
    case WEK_ERR_CORRUPT: return "damaged beyond repair";
    case WEK_ERR_UNSUPPORTED: return "unsupported version";
    case WEK_ERR_NOTHING_LOADED: return "nothing loaded to save";
    case WEK_ERR_READ_ONLY: return "read-only";
    case WEK_ERR_WRITE: return "could not be written";
    case WEK_ERR_ARGUMENT: return "invalid request";
    case WEK_ERR_CANCELLED: return "cancelled";
    case WEK_ERR_CHANGED: return "changed since it was loaded";
    case WEK_ERR_LINK_OWNER: return "link and file owners differ";
    case WEK_ERR_NO_COPY: return "cannot write a copy beside it";
    case WEK_ERR_SEE_COPY: return "damaged; restore from .olvkeep copy";
    case WEK_ERR_NO_MEMORY: return "not enough memory";
    case WEK_ERR_READ_BACK: return "the written file did not read back";
    case WEK_ERR_COPY_LEFT: return "rewritten; delete its .olvkeep copy";
    case WEK_ERR_TEMP_LEFT: return "rewritten; delete its .olvsave file";
    case WEK_ERR_MOVED_ASIDE: return "changed meanwhile; see its .olvkeep copy";
    default: return "unknown error";
    }
}

CWekFile::CWekFile() = default;
CWekFile::~CWekFile() = default;

void CWekFile::Forget() {
    m_file.reset();
    m_loadedPath.clear();
    m_nVersion = -1;
    m_bLoaded = false;
    m_bModified = false;
    m_bHadFault = false;
    m_records = wekio::RecordSet{};
    m_nBytesRead = 0;
}

int CWekFile::Finish(int status) {
    m_nLastStatus = status;
    return status;
}

std::vector<std::string> CWekFile::Records() const {
    std::vector<std::string> records;
    records.reserve(m_records.lengths.size());
    std::size_t at = 0;
    for (std::uint32_t length : m_records.lengths) {
        records.emplace_back(m_records.data, at, length);
        at += length;
    }
    return records;
}

int CWekFile::LoadQuick(const char* path, int* pOut, int /*nReserved*/) {
    int status;
    if (!m_nQuickFlag) {
        status = Load(path, nullptr, nullptr, 0, 0);
    } else {
        Forget();
        std::string head;
        status = path ? wekio::ReadFile(path, kHeaderSize, head) : WEK_ERR_ARGUMENT;
        status = Probed(status, head);
    }
    if (pOut) *pOut = status;
    return Finish(status);
}

#ifndef _WIN32
int CWekFile::LoadQuickAt(int folderFd, const char* name, int* pOut) {
    Forget();
    std::string head;
    const int status = Probed(name ? wekio::ReadFileAt(folderFd, name, kHeaderSize, head) : WEK_ERR_ARGUMENT, head);
    if (pOut) *pOut = status;
    return Finish(status);
}
#endif

int CWekFile::Probed(int status, const std::string& head) {
    m_nBytesRead = head.size();
    if (status != WEK_OK) return status;
    if (head.size() < kHeaderSize || std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) {
        m_nVersion = 0;
        return WEK_ERR_NOT_OLV;
    }
    m_nVersion = ShownVersion(GetU32(head.data() + kOffVersion));
    return WEK_OK;
}

int CWekFile::GetSimpleVersion() { return m_nVersion; }

int CWekFile::Load(const char* path, WekProgressProc pfn, void* pContext, int, int) {
    Forget();
    if (!path) return Finish(WEK_ERR_ARGUMENT);
    return LoadWith(path, pfn, pContext, [&](wekio::LoadedFilePtr& file) { return wekio::OpenFile(path, file); });
}

#ifndef _WIN32
int CWekFile::LoadAt(int folderFd, const char* name, const char* path, WekProgressProc pfn, void* pContext) {
    Forget();
    if (!name || !path) return Finish(WEK_ERR_ARGUMENT);
    return LoadWith(path, pfn, pContext,
                    [&](wekio::LoadedFilePtr& file) { return wekio::OpenFileAt(folderFd, name, file); });
}
#endif

int CWekFile::LoadWith(const char* path, WekProgressProc pfn, void* pContext,
                       const std::function<int(wekio::LoadedFilePtr&)>& open) {
    if (Cancelled(pfn, pContext, 0, "reading")) return Finish(WEK_ERR_CANCELLED);
    Decoded d;
    try {
        wekio::LoadedFilePtr file;
        const int status = open(file);
        if (status != WEK_OK) return Finish(status);
        const wekio::LoadedFile& opened = *file;
        d = Decode(
            wekio::LoadedSize(opened),
            [&](std::uint64_t offset, char* buffer, std::size_t size) { return wekio::ReadLoaded(opened, offset, buffer, size); },
            Goal::Load, &m_records, nullptr, 0, Fault::Absent, [&] { return !Cancelled(pfn, pContext, 50, "checking"); });
        m_nBytesRead = d.bytesRead;
        m_nVersion = d.version;
        if (d.status != WEK_OK) {
            m_records = wekio::RecordSet{};
            return Finish(d.status);
        }
        m_loadedPath = path;
        m_file = std::move(file);
    } catch (const std::exception&) {
        // Out of memory (or an address space too small) for a very large file.
        m_records = wekio::RecordSet{};
        m_file.reset();
        m_loadedPath.clear();
        return Finish(WEK_ERR_NO_MEMORY);
    }
    m_bHadFault = d.fault;
    m_bLoaded = true;
    if (pfn) pfn(100, "loaded", pContext);
    return Finish(WEK_OK);
}

void CWekFile::SetModified(int bModified, int /*bNotify*/) { m_bModified = bModified != 0; }

int CWekFile::Save(const char* path, WekProgressProc pfn, void* pContext, const void* pRecord, int nVersion) {
    // pRecord is reserved: refusing it beats silently ignoring what a caller meant to save.
    if (!path || pRecord || nVersion < 1 || nVersion > static_cast<int>(kNewestVersion))
        return Finish(WEK_ERR_ARGUMENT);
    if (!m_bLoaded) return Finish(WEK_ERR_NOTHING_LOADED);
    if (Cancelled(pfn, pContext, 0, "writing")) return Finish(WEK_ERR_CANCELLED);
    int status;
    try {
        CompleteCrcs(m_records);
        const Image image(m_records, static_cast<std::uint32_t>(nVersion), false, static_cast<std::uint32_t>(m_nVersion));
        // The loaded path means the file Load found, not whatever the path names now.
        if (m_file && m_loadedPath == path) status = wekio::SaveLoaded(*m_file, image);
        else status = wekio::SaveToPath(path, image);
    } catch (const std::bad_alloc&) {
        status = WEK_ERR_NO_MEMORY;
    } catch (const std::exception&) {
        status = WEK_ERR_WRITE;
    }
    if (status == WEK_OK) {
        m_bModified = false;
        if (pfn) pfn(100, "saved", pContext);
    }
    return Finish(status);
}

int WekVerify(const char* path, std::string* pDetail) {
    std::string detail;
    int status;
    try {
        wekio::LoadedFilePtr file;
        status = path ? wekio::OpenFile(path, file) : WEK_ERR_ARGUMENT;
        if (status == WEK_OK) {
            const wekio::LoadedFile& opened = *file;
            Decoded d = Decode(
                wekio::LoadedSize(opened),
                [&](std::uint64_t offset, char* buffer, std::size_t size) { return wekio::ReadLoaded(opened, offset, buffer, size); },
                Goal::Verify, nullptr);
            status = d.status;
            detail = std::move(d.detail);
        }
    } catch (const std::exception&) {
        status = WEK_ERR_NO_MEMORY;
        detail.clear();
    }
    if (pDetail) *pDetail = detail.empty() ? WekStatusText(status) : detail;
    return status;
}

bool WekEncode(int version, const std::vector<std::string>& records, bool withFault, std::string& out) {
    out.clear();
    if (version < 1 || (withFault && version != 4)) return false;
    wekio::RecordSet set;
    if (!ToRecordSet(records, set)) return false;
    const Image image(set, static_cast<std::uint32_t>(version), withFault, 0);
    if (image.Size() > out.max_size()) return false;
    out.reserve(static_cast<std::size_t>(image.Size()));
    return image.Produce([&](const char* data, std::size_t size) {
        out.append(data, size);
        return true;
    });
}

int WekWriteSample(const char* path, int version, const std::vector<std::string>& records, bool withFault) {
    if (!path) return WEK_ERR_ARGUMENT;
    try {
        if (version < 1 || (withFault && version != 4)) return WEK_ERR_ARGUMENT;
        wekio::RecordSet set;
        if (!ToRecordSet(records, set)) return WEK_ERR_ARGUMENT;
        const Image image(set, static_cast<std::uint32_t>(version), withFault, 0);
        return wekio::SaveToPath(path, image);
    } catch (const std::bad_alloc&) {
        return WEK_ERR_NO_MEMORY;
    } catch (const std::exception&) {
        return WEK_ERR_WRITE;
    }
}

std::string WekBackupCopyName(const std::string& name) {
    constexpr std::size_t suffix = sizeof kBackupSuffix - 1;
    std::size_t keep = std::min(name.size(), kMaxNameBytes - suffix);
    // Never cut a UTF-8 sequence: step back over continuation bytes to a sequence's start.
    if (keep < name.size())
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0u) == 0x80u) --keep;
    return name.substr(0, keep) + kBackupSuffix;
}

bool WekIsStaleTemporaryName(const std::string& name) {
    constexpr std::size_t prefix = sizeof kTemporaryPrefix - 1, suffix = sizeof kTemporarySuffix - 1;
    if (name.size() <= prefix + suffix || name.compare(0, prefix, kTemporaryPrefix) != 0 ||
        name.compare(name.size() - suffix, suffix, kTemporarySuffix) != 0)
        return false;
    // ".olvsave-<process id>-<counter>.tmp", both decimal.
    const std::size_t dash = name.find('-', prefix);
    std::uint64_t pid = 0, counter = 0;
    if (dash == std::string::npos || !ParseDigits(name, prefix, dash, 10, pid) ||
        !ParseDigits(name, dash + 1, name.size() - suffix, 10, counter))
        return false;
    return wekio::ProcessIsGone(pid);
}

void WekSetSaveFailureForTest(WekSaveStage stage) {
    g_saveFailureStages = stage == WEK_STAGE_NONE ? 0u : 1u << stage;
}

void WekAddSaveFailureForTest(WekSaveStage stage) {
    if (stage != WEK_STAGE_NONE) g_saveFailureStages |= 1u << stage;
}

bool wekio::SaveFailsForTest(WekSaveStage stage) {
    return stage != WEK_STAGE_NONE && (g_saveFailureStages.load() & (1u << stage)) != 0;
}

void WekSetSaveHookForTest(void (*hook)(WekSaveStage, void*), void* context) {
    g_hookContext = context;
    g_hook = hook;
}

void wekio::ReachedForTest(WekSaveStage stage) {
    if (auto* hook = g_hook.load()) hook(stage, g_hookContext.load());
}

void WekDamageWrittenFileForTest(long long offset) { g_damage = offset; }

std::int64_t wekio::DamageForTest() { return g_damage.load(); }

void WekUseReplaceFileForTest(bool use) { g_replaceFileForTest = use; }

bool wekio::ReplaceFileForTest() { return g_replaceFileForTest.load(); }

void WekSkipReadBackForBench(bool skip) { g_skipReadBack = skip; }

bool wekio::SkipReadBackForBench() { return g_skipReadBack.load(); }
