// CWekFile: reads, checks and rewrites one .olv file (format: filelib/FORMAT.md).
//
// Every operation returns a WekStatus: 0 or positive is success, negative is an
// error. Nothing throws across this interface. Paths are byte strings: raw file
// names on POSIX systems, UTF-8 on Windows; paths of any length are accepted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
    WEK_ERR_CHANGED = -11,      // the name no longer holds the file that was loaded; nothing was written
    WEK_ERR_LINK_OWNER = -12,   // privileged save through a link not owned by the file's owner; nothing written
    WEK_ERR_NO_COPY = -13,      // neither a new file nor a copy can be made beside it; nothing was changed
    WEK_ERR_SEE_COPY = -14,     // rewriting in place failed and so did putting the original back:
                                // the file is damaged, its original content is in its backup copy
    WEK_ERR_NO_MEMORY = -15,    // not enough memory to hold the file; nothing was changed
    WEK_ERR_READ_BACK = -16,    // the new content did not read back as written; the original is kept
    WEK_ERR_COPY_LEFT = -17,    // the file was rewritten, but its backup copy could not be removed
    WEK_ERR_TEMP_LEFT = -18,    // the file was rewritten, but the original's old content could not
                                // be removed: it lies beside it as a temporary file
    WEK_ERR_MOVED_ASIDE = -19,  // another file took the name while the save ran: that file is kept,
                                // and the loaded file is beside it as its backup copy
};

// A short human text for a status ("could not be read", ...). Never null.
const char* WekStatusText(int status);

// True when `name` (a bare folder entry name) is a temporary file a save makes beside the
// file it replaces (".olvsave-<process id>-<number>.tmp") and the process that made it is no
// longer running, so that nothing will ever use it again: a folder walk may delete it. Backup
// copies ("<name>.olvkeep") are never temporary files: they are the user's to restore from.
// A save running where this process cannot see it (another machine sharing the folder, another
// process-id namespace) looks gone too; deleting its file makes that save fail, never lose data.
bool WekIsStaleTemporaryName(const std::string& name);

namespace wekio {
// The records of a file: their bytes back to back, and each one's length and CRC-32 (the CRCs
// may be missing, to be computed when a save needs them). Never more than the file's own size.
struct RecordSet {
    std::string data;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint32_t> crcs;
};
// What Load resolved and keeps for Save (platform-specific; see FileIO.h).
struct LoadedFile;
// Releases what Load kept (its descriptors or handles).
struct LoadedFileDeleter {
    void operator()(LoadedFile* file) const;
};
using LoadedFilePtr = std::unique_ptr<LoadedFile, LoadedFileDeleter>;
}  // namespace wekio

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
    // drops anything loaded before. It resolves and opens the file as Load does (only a regular
    // file is ever opened) and keeps nothing. Returns WEK_OK, WEK_ERR_OPEN, WEK_ERR_READ or WEK_ERR_NOT_OLV;
    // `pOut`, if given, receives the status too.
    int LoadQuick(const char* path, int* pOut, int nReserved);

#ifndef _WIN32
    // The probe of LoadQuick (whatever m_nQuickFlag says) for the entry `name` (a single name)
    // of the open folder `folderFd`, for a walk that holds its folders open: the folder's path
    // is not looked up again, so the cost does not grow with the folder's depth.
    int LoadQuickAt(int folderFd, const char* name, int* pOut);
#endif

    // After LoadQuick or Load: -1 when the file could not be opened or read, 0 when it is
    // not an .olv file, otherwise the version number its header holds (any value, e.g. 9).
    int GetSimpleVersion();

    // Reads and validates the whole file. Tolerates the recoverable version-4 fault
    // (see FORMAT.md). On error nothing is kept loaded and Save will refuse. Versions other
    // than 1 to 5 give WEK_ERR_UNSUPPORTED. A non-zero return from `pfn` cancels.
    // `path` is resolved once: its folders and a final symbolic link are followed, and only a
    // regular file is opened (never a device, a pipe or a folder: WEK_ERR_OPEN). The object keeps
    // what was found (the folder, the name in it and the file itself, open, with its size and
    // change times) until the next Load, LoadQuick or its destruction, so that Save(path)
    // rewrites exactly that file as it was read. On Windows the file is held open without delete
    // sharing meanwhile: other programs may read and write it but not delete or rename it.
    // The records take about the file's size in memory, read in place; WEK_ERR_NO_MEMORY when
    // there is not that much.
    int Load(const char* path, WekProgressProc pfn, void* pContext, int nReserved1, int nReserved2);

#ifndef _WIN32
    // Load for the entry `name` (a single name) of the open folder `folderFd`, for callers that
    // reached the folder themselves: the folder is not looked up again, and a link at `name` is
    // followed as Load follows a final link. `path` is the path the caller knows the file by;
    // Save(path) then rewrites exactly the file found here.
    int LoadAt(int folderFd, const char* name, const char* path, WekProgressProc pfn, void* pContext);
#endif

    // Marks the loaded content as changed (or not). Save writes whether or not it is marked.
    void SetModified(int bModified, int bNotify);

    // Writes the loaded content to `path` in format `nVersion` (1 to 5).
    //
    // With the same `path` as the last Load (the same bytes), Save works on what Load found: it
    // writes into the folder Load found, and only over the file Load read. Just before replacing
    // it checks that the name still holds that file and that nothing changed the file since the
    // load (size, modification and change times, permissions, owner), and after swapping names
    // it checks what the swap took out (WEK_ERR_CHANGED otherwise, nothing written); it never
    // follows a link again and never creates a file. When the process is privileged (root, or allowed to
    // override file permissions) and Load reached the file through symbolic links, it writes only
    // when every link has the file's owner (WEK_ERR_LINK_OWNER otherwise). A link stays a link.
    //
    // Another `path` is resolved now, links followed, and an existing regular file there is
    // rewritten the same way; a missing name is created (0666 less the umask), but never through
    // a link that points nowhere (WEK_ERR_WRITE).
    //
    // How: a new file is written beside the original (unnamed where the file system allows),
    // given its owner, group, permission bits and every extended attribute the process can read
    // (ACLs included; file capabilities never), flushed, read back and decoded (it must hold
    // exactly the loaded records: WEK_ERR_READ_BACK otherwise), swapped in under the original's
    // name, and the folder is flushed. Where names cannot be swapped in one step, the original
    // is moved aside to "<name>.olvkeep", checked there, and the new file takes the name only if
    // nothing else took it (WEK_ERR_MOVED_ASIDE otherwise: the other file stays).
    // When the new file cannot carry all of that (the original has other hard links, or an owner,
    // group or attribute the process cannot set), the original is rewritten in place instead: a
    // complete copy of it is first written and flushed beside it as "<name>.olvkeep" (see
    // WekBackupCopyName), created readable by its creator only and given the original's owner,
    // group and ACL (or less) before any content; then the new content is written over the file,
    // flushed, read back, and the copy removed. Either way set-id bits stay only where the saver
    // may set them itself.
    //
    // On failure the file keeps its content and everything else it had, and no file of ours
    // remains, with these exceptions: a failed folder flush after the swap (WEK_ERR_WRITE, the new
    // content is in place); WEK_ERR_SEE_COPY (an in-place rewrite failed, the original could not
    // be put back and the file is not whole: the copy stays, holding the original content);
    // WEK_ERR_COPY_LEFT and WEK_ERR_TEMP_LEFT (the file was rewritten, but the copy or the old
    // content could not be removed); WEK_ERR_MOVED_ASIDE.
    // Read-only targets are refused (WEK_ERR_READ_ONLY). WEK_ERR_NO_COPY: the folder cannot take
    // a new file or a copy (not writable, full, or an earlier copy that holds something else than
    // the loaded records is still there; one that holds them is removed).
    // Returns WEK_ERR_NOTHING_LOADED without a successful Load, WEK_ERR_ARGUMENT for another
    // version or a non-null `pRecord` (reserved), WEK_ERR_CANCELLED (asked at the start, before
    // anything is written), WEK_ERR_NO_MEMORY, WEK_ERR_WRITE for other failures.
    int Save(const char* path, WekProgressProc pfn, void* pContext, const void* pRecord, int nVersion);

    // Status of the last operation (also returned by it).
    int GetLastStatus() const { return m_nLastStatus; }
    // True when the last Load found and tolerated the recoverable fault.
    bool HadRecoverableFault() const { return m_bHadFault; }
    // The number of loaded records (0 until a successful Load).
    std::size_t RecordCount() const { return m_records.lengths.size(); }
    // A copy of the loaded records, one string each (empty until a successful Load); for tools
    // and tests: it doubles the memory the records take.
    std::vector<std::string> Records() const;
    // Bytes the last LoadQuick or Load read from the file.
    std::uint64_t BytesReadByLastCall() const { return m_nBytesRead; }

private:
    // Drops everything a previous LoadQuick or Load found.
    void Forget();
    // Records `status` as the last status and returns it.
    int Finish(int status);
    // The common part of Load and LoadAt: `open` finds and opens the file.
    int LoadWith(const char* path, WekProgressProc pfn, void* pContext,
                 const std::function<int(wekio::LoadedFilePtr&)>& open);
    // Sets what a probe that read `head` with `status` found; returns the probe's status.
    int Probed(int status, const std::string& head);

    std::uint64_t m_nBytesRead = 0;
    int m_nVersion = -1;
    int m_nLastStatus = WEK_OK;
    bool m_bLoaded = false;
    bool m_bModified = false;
    bool m_bHadFault = false;
    wekio::RecordSet m_records;
    // What the last successful Load resolved, and the path it was given.
    std::unique_ptr<wekio::LoadedFile, wekio::LoadedFileDeleter> m_file;
    std::string m_loadedPath;
};
