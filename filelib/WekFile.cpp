// CWekFile and the .olv format (filelib/FORMAT.md): parsing, encoding, strict checking.
#include "filelib/WekFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>

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

// CRC-32 (IEEE 802.3, reflected, as used by zip and PNG).
std::uint32_t Crc32(const char* data, std::size_t size) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::uint64_t GetLE(const std::string& b, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    return v;
}
std::uint32_t GetU32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(GetLE(b, at, 4));
}

void PutLE(std::string& b, std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFFu);
}

// Versions 1 and 2 carry no checksums; their checksum fields are zero.
bool HasChecksums(std::uint32_t version) { return version >= 3; }

// The number GetSimpleVersion shows for a header's version field.
int ShownVersion(std::uint32_t version) {
    return static_cast<int>(std::min<std::uint32_t>(version, INT_MAX));
}

struct Parsed {
    int status = WEK_OK;
    int version = 0;     // what GetSimpleVersion shows
    bool fault = false;  // the recoverable version-4 fault was found
    std::vector<std::string> records;
    std::string detail;  // one line for olvtool
};

Parsed Fail(Parsed p, int status, std::string detail) {
    p.status = status;
    p.detail = std::move(detail);
    p.records.clear();
    return p;
}

// Checks a whole file image. `strict` refuses the recoverable fault instead of tolerating it.
// Every offset and length is checked against b.size() before use, in 64-bit arithmetic that
// cannot overflow (all fields are at most 2^32 or bounded by the size).
Parsed Parse(const std::string& b, bool strict) {
    Parsed p;
    if (b.size() < kHeaderSize || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0)
        return Fail(p, WEK_ERR_NOT_OLV, b.size() < kHeaderSize ? "too short for an .olv header"
                                                                : "no .olv magic number");
    const std::uint32_t version = GetU32(b, kOffVersion);
    p.version = ShownVersion(version);
    if (version < 1 || version > kNewestVersion)
        return Fail(p, WEK_ERR_UNSUPPORTED, "version " + std::to_string(version) + " is not supported");
    const bool sums = HasChecksums(version);
    const std::uint32_t count = GetU32(b, kOffCount);
    const std::uint64_t indexOffset = GetLE(b, kOffIndex, 8);
    const std::uint32_t indexCrc = GetU32(b, kOffIndexCrc);
    const std::uint32_t headerCrc = GetU32(b, kOffHeaderCrc);
    const std::uint64_t size = b.size();

    if (sums ? headerCrc != Crc32(b.data(), kOffHeaderCrc) : (headerCrc != 0 || indexCrc != 0))
        return Fail(p, WEK_ERR_CORRUPT, "header checksum does not match");
    if (GetU32(b, kOffFlags) != 0) return Fail(p, WEK_ERR_CORRUPT, "unknown header flags");
    if (indexOffset < kHeaderSize || indexOffset > size)
        return Fail(p, WEK_ERR_CORRUPT, "index offset points outside the file");
    // The index ends exactly at the end of the file: this catches truncation, appended bytes
    // and record counts the file cannot hold, before anything is allocated for the records.
    if (size - indexOffset != std::uint64_t{count} * kEntrySize)
        return Fail(p, WEK_ERR_CORRUPT, "record count does not match the file size");

    // Each record stores its own checksum, so a stale index checksum alone is told apart
    // from damaged records.
    p.records.reserve(count);
    std::uint64_t pos = kHeaderSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = static_cast<std::size_t>(indexOffset) + std::size_t{i} * kEntrySize;
        const std::uint32_t length = GetU32(b, entry);
        const std::uint32_t crc = GetU32(b, entry + 4);
        const std::string where = "record " + std::to_string(i + 1);
        if (length > indexOffset - pos) return Fail(p, WEK_ERR_CORRUPT, where + " runs past the data");
        const char* data = b.data() + pos;
        if (sums ? crc != Crc32(data, length) : crc != 0)
            return Fail(p, WEK_ERR_CORRUPT, where + " checksum does not match");
        p.records.emplace_back(data, length);
        pos += length;
    }
    if (pos != indexOffset) return Fail(p, WEK_ERR_CORRUPT, "bytes between the records and the index");

    if (sums && indexCrc != Crc32(b.data() + static_cast<std::size_t>(indexOffset), std::size_t{count} * kEntrySize)) {
        if (version != 4) return Fail(p, WEK_ERR_CORRUPT, "index checksum does not match");
        if (strict)
            return Fail(p, WEK_ERR_CORRUPT,
                        "stale index checksum (recoverable version-4 fault; resave repairs it)");
        p.fault = true;
    }
    p.detail = "version " + std::to_string(version) + ", " + std::to_string(count) + " records";
    return p;
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
    m_records.clear();
    m_nBytesRead = 0;
}

int CWekFile::Finish(int status) {
    m_nLastStatus = status;
    return status;
}

int CWekFile::LoadQuick(const char* path, int* pOut, int /*nReserved*/) {
    int status;
    if (!m_nQuickFlag) {
        status = Load(path, nullptr, nullptr, 0, 0);
    } else {
        Forget();
        std::string head;
        status = path ? wekio::ReadFile(path, kHeaderSize, head, nullptr) : WEK_ERR_ARGUMENT;
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
    m_nVersion = ShownVersion(GetU32(head, kOffVersion));
    return WEK_OK;
}

int CWekFile::GetSimpleVersion() { return m_nVersion; }

int CWekFile::Load(const char* path, WekProgressProc pfn, void* pContext, int, int) {
    Forget();
    if (!path) return Finish(WEK_ERR_ARGUMENT);
    return LoadWith(path, pfn, pContext, [&](std::string& bytes, wekio::LoadedFilePtr& file) {
        return wekio::ReadFile(path, UINT64_MAX, bytes, &file);
    });
}

#ifndef _WIN32
int CWekFile::LoadAt(int folderFd, const char* name, const char* path, WekProgressProc pfn, void* pContext) {
    Forget();
    if (!name || !path) return Finish(WEK_ERR_ARGUMENT);
    return LoadWith(path, pfn, pContext, [&](std::string& bytes, wekio::LoadedFilePtr& file) {
        return wekio::ReadFileAt(folderFd, name, UINT64_MAX, bytes, &file);
    });
}
#endif

int CWekFile::LoadWith(const char* path, WekProgressProc pfn, void* pContext,
                       const std::function<int(std::string&, wekio::LoadedFilePtr&)>& read) {
    if (Cancelled(pfn, pContext, 0, "reading")) return Finish(WEK_ERR_CANCELLED);
    try {
        std::string bytes;
        wekio::LoadedFilePtr file;
        const int status = read(bytes, file);
        m_nBytesRead = bytes.size();
        if (status != WEK_OK) return Finish(status);
        if (Cancelled(pfn, pContext, 50, "checking")) return Finish(WEK_ERR_CANCELLED);
        Parsed p = Parse(bytes, false);
        m_nVersion = p.version;
        if (p.status != WEK_OK) return Finish(p.status);
        m_loadedPath = path;
        m_file = std::move(file);
        m_records = std::move(p.records);
        m_bHadFault = p.fault;
        m_bLoaded = true;
    } catch (const std::exception&) {
        // Out of memory for a very large file.
        m_records.clear();
        m_file.reset();
        return Finish(WEK_ERR_READ);
    }
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
        std::string bytes;
        if (!WekEncode(nVersion, m_records, false, bytes)) status = WEK_ERR_WRITE;
        // The loaded path means the file Load found, not whatever the path names now.
        else if (m_file && m_loadedPath == path) status = wekio::SaveLoaded(*m_file, bytes);
        else status = wekio::SaveToPath(path, bytes);
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
        std::string bytes;
        status = path ? wekio::ReadFile(path, UINT64_MAX, bytes, nullptr) : WEK_ERR_ARGUMENT;
        if (status == WEK_OK) {
            Parsed p = Parse(bytes, true);
            status = p.status;
            detail = std::move(p.detail);
        }
    } catch (const std::exception&) {
        status = WEK_ERR_READ;
    }
    if (pDetail) *pDetail = detail.empty() ? WekStatusText(status) : detail;
    return status;
}

bool WekEncode(int version, const std::vector<std::string>& records, bool withFault, std::string& out) {
    out.clear();
    if (version < 1 || (withFault && version != 4) || records.size() > UINT32_MAX) return false;
    std::uint64_t dataSize = 0;
    for (const std::string& r : records) {
        if (r.size() > UINT32_MAX) return false;
        dataSize += r.size();
    }
    const std::uint64_t total = kHeaderSize + dataSize + records.size() * kEntrySize;
    if (total > out.max_size()) return false;

    const auto v = static_cast<std::uint32_t>(version);
    const std::size_t indexOffset = kHeaderSize + static_cast<std::size_t>(dataSize);
    out.assign(static_cast<std::size_t>(total), '\0');
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    PutLE(out, kOffVersion, v, 4);
    PutLE(out, kOffCount, records.size(), 4);
    PutLE(out, kOffIndex, indexOffset, 8);
    std::size_t pos = kHeaderSize, entry = indexOffset;
    for (const std::string& r : records) {
        std::memcpy(out.data() + pos, r.data(), r.size());
        PutLE(out, entry, r.size(), 4);
        if (HasChecksums(v)) PutLE(out, entry + 4, Crc32(r.data(), r.size()), 4);
        pos += r.size();
        entry += kEntrySize;
    }
    if (HasChecksums(v)) {
        std::uint32_t indexCrc = Crc32(out.data() + indexOffset, records.size() * kEntrySize);
        // The fault as old version-4 writers left it: an index checksum that does not match.
        if (withFault) indexCrc = ~indexCrc;
        PutLE(out, kOffIndexCrc, indexCrc, 4);
        PutLE(out, kOffHeaderCrc, Crc32(out.data(), kOffHeaderCrc), 4);
    }
    return true;
}

int WekWriteSample(const char* path, int version, const std::vector<std::string>& records, bool withFault) {
    if (!path) return WEK_ERR_ARGUMENT;
    try {
        std::string bytes;
        if (!WekEncode(version, records, withFault, bytes)) return WEK_ERR_ARGUMENT;
        return wekio::SaveToPath(path, bytes);
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

void WekUseReplaceFileForTest(bool use) { g_replaceFileForTest = use; }

bool wekio::ReplaceFileForTest() { return g_replaceFileForTest.load(); }
