// CWekFile: reads, checks and rewrites one .olv file (format: filelib/FORMAT.md).
//
// Every operation returns a WekStatus: 0 or positive is success, negative is an
// error. Nothing throws across this interface. Paths are byte strings: raw file
// names on POSIX systems, UTF-8 on Windows; paths of any length are accepted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Progress callback accepted by Load and Save: (percent, stage text, context) -> 0 to go on.
typedef int (*WekProgressProc)(int nPercent, const char* pszStage, void* pContext);

enum WekStatus : int {
    WEK_OK = 0,
    WEK_ERR_OPEN = -1,          // the file cannot be opened (missing, no permission, not a file)
    WEK_ERR_READ = -2,          // an I/O error while reading
    WEK_ERR_NOT_OLV = -3,       // readable, but not an .olv file (wrong magic, too short)
    WEK_ERR_CORRUPT = -4,       // an .olv header, but the body is damaged beyond repair
    WEK_ERR_UNSUPPORTED = -5,   // an .olv file of a version this library cannot load
    WEK_ERR_NOTHING_LOADED = -6,// Save without a successful Load
    WEK_ERR_READ_ONLY = -7,     // the target file is read-only; it was not rewritten
    WEK_ERR_WRITE = -8,         // writing, flushing or replacing failed; the original is untouched
    WEK_ERR_ARGUMENT = -9,      // a bad argument (null path, unknown target version)
    WEK_ERR_CANCELLED = -10,    // the progress callback asked to stop; nothing was changed
};

// A short human text for a status ("could not be read", ...). Never null.
const char* WekStatusText(int status);

class CWekFile {
public:
    CWekFile();
    ~CWekFile();
    CWekFile(const CWekFile&) = delete;
    CWekFile& operator=(const CWekFile&) = delete;

    // Set to 1 before LoadQuick; LoadQuick then reads only the fixed header.
    // With 0, LoadQuick does a full Load instead.
    int m_nQuickFlag = 0;

    // The probe: reads at most the fixed 32-byte header of `path`, whatever the file's size, and
    // sets the version that GetSimpleVersion reports; it does not check the rest of the file and
    // drops anything loaded before. Returns WEK_OK, WEK_ERR_OPEN, WEK_ERR_READ or WEK_ERR_NOT_OLV;
    // `pOut`, if given, receives the status too.
    int LoadQuick(const char* path, int* pOut, int nReserved);

    // After LoadQuick or Load: -1 when the file could not be opened or read, 0 when it is
    // not an .olv file, otherwise the version number its header holds (any value, e.g. 9).
    int GetSimpleVersion();

    // Reads and validates the whole file. Tolerates the recoverable version-4 fault
    // (see FORMAT.md). On error nothing is kept loaded and Save will refuse. Versions other
    // than 1 to 5 give WEK_ERR_UNSUPPORTED. A non-zero return from `pfn` cancels.
    int Load(const char* path, WekProgressProc pfn, void* pContext, int nReserved1, int nReserved2);

    // Marks the loaded content as changed (or not). Save writes whether or not it is marked.
    void SetModified(int bModified, int bNotify);

    // Writes the loaded content to `path` in format `nVersion` (1 to 5) atomically:
    // temporary file beside the target, flushed, renamed over it, folder flushed.
    // On any failure the target is byte-for-byte untouched and no temporary file remains; the
    // one exception is a failed folder flush after the rename, reported as WEK_ERR_WRITE with
    // the new content already in place.
    // Read-only targets are refused; permission bits are kept; symbolic links are written through.
    // Returns WEK_ERR_NOTHING_LOADED without a successful Load, WEK_ERR_ARGUMENT for another
    // version or a non-null `pRecord` (reserved), WEK_ERR_READ_ONLY, WEK_ERR_WRITE or
    // WEK_ERR_CANCELLED (asked at the start, before anything is written).
    int Save(const char* path, WekProgressProc pfn, void* pContext, const void* pRecord, int nVersion);

    // Status of the last operation (also returned by it).
    int GetLastStatus() const { return m_nLastStatus; }
    // True when the last Load found and tolerated the recoverable fault.
    bool HadRecoverableFault() const { return m_bHadFault; }
    // Loaded records (empty until a successful Load).
    const std::vector<std::string>& Records() const { return m_records; }
    // Bytes the last LoadQuick or Load read from the file.
    std::uint64_t BytesReadByLastCall() const { return m_nBytesRead; }

private:
    // Drops everything a previous LoadQuick or Load found.
    void Forget();
    // Records `status` as the last status and returns it.
    int Finish(int status);

    std::uint64_t m_nBytesRead = 0;
    int m_nVersion = -1;
    int m_nLastStatus = WEK_OK;
    bool m_bLoaded = false;
    bool m_bModified = false;
    bool m_bHadFault = false;
    std::vector<std::string> m_records;
};
