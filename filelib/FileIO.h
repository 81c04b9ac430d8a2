// The few operating-system calls the .olv library needs, so that the format code stays
// portable. FileIO_posix.cpp implements them for Linux, FileIO_win32.cpp for Windows. Paths are
// raw bytes of any length (UTF-8 on Windows). All functions return a WekStatus and never throw.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "filelib/WekVerify.h"

namespace wekio {

// Reads exactly `size` bytes at `offset` into `buffer`; false on an error or a short read.
using ReadAt = std::function<bool(std::uint64_t offset, char* buffer, std::size_t size)>;
// Takes the next `size` bytes of a file being written; false when writing failed.
using WriteNext = std::function<bool(const char* data, std::size_t size)>;

// What a save writes, handed over in pieces so that no second whole image of a file is made,
// and checked once it is written. Producing needs no memory beyond what was made with it, so
// that an in-place rewrite cannot run out of it halfway; a check that cannot get its buffer
// fails. None of its functions throws.
class Content {
public:
    virtual ~Content() = default;
    virtual std::uint64_t Size() const = 0;
    // Passes the whole content to `write` in order; false as soon as `write` fails.
    virtual bool Produce(const WriteNext& write) const = 0;
    // True when the file of `size` bytes that `read` reads decodes to exactly this content's
    // records in its version: the check of a written file before it replaces anything.
    virtual bool ReadsBack(std::uint64_t size, const ReadAt& read) const = 0;
    // True when the file of `size` bytes that `read` reads holds the records of this content in
    // the version they were loaded from: an earlier backup copy that holds nothing else.
    virtual bool HoldsTheLoadedRecords(std::uint64_t size, const ReadAt& read) const = 0;
};

// Resolves `path` once (its folders and a final symbolic link are followed), opens the regular
// file found without following a link again and without opening anything that is not a
// regular file, and reads its first `limit` bytes (all of it when shorter) into `out`. Returns
// WEK_OK, WEK_ERR_OPEN (missing, no permission, folder, device, pipe, link loop) or
// WEK_ERR_READ. Never allocates more than `limit` bytes.
int ReadFile(const std::string& path, std::uint64_t limit, std::string& out);

// Resolves and opens `path` as ReadFile does and keeps in `file` what was found (for reading
// with ReadLoaded and for SaveLoaded), with the file's size and change times as they were when
// it was opened. Returns WEK_OK, WEK_ERR_OPEN or WEK_ERR_NO_MEMORY.
int OpenFile(const std::string& path, LoadedFilePtr& file);

#ifndef _WIN32
// ReadFile for the entry `name` (one name, no slash) of the open folder `folder`: the folder's
// path is not looked up again.
int ReadFileAt(int folder, const std::string& name, std::uint64_t limit, std::string& out);
// OpenFile for the entry `name` of the open folder `folder`.
int OpenFileAt(int folder, const std::string& name, LoadedFilePtr& file);
#endif

// The size of the file `file` when it was opened.
std::uint64_t LoadedSize(const LoadedFile& file);
// Reads exactly `size` bytes at `offset` of the file `file`; false on an error or a short read.
bool ReadLoaded(const LoadedFile& file, std::uint64_t offset, char* buffer, std::size_t size);

// Gives the file `file` (from OpenFile) the content `content`, as CWekFile::Save describes for
// the loaded path: WEK_ERR_CHANGED when its name no longer holds that file or the file changed
// since it was opened. Once its name holds the new content, `file` stands for the file holding
// it, so that another save works too.
int SaveLoaded(LoadedFile& file, const Content& content);

// Gives the file `path`, resolved now, the content `content`, as CWekFile::Save describes for a
// path other than the loaded one: creates a missing name, never through a link.
int SaveToPath(const std::string& path, const Content& content);

// What a file's status says without opening it: its size and which file it is (device and
// inode; volume serial and file id on Windows), as the file system last gave them (on a share, a
// question for the whole status, whose access time moves with every read, would travel each
// time). Links are followed, as a load follows them.
struct FileFacts {
    std::uint64_t size = 0;
    bool identified = false;  // volume and index say which file it is
    std::uint64_t volume = 0, index = 0, indexHigh = 0;
};
// The facts of the entry `name` of the open folder `folder` (POSIX), or of `path` when `folder`
// is negative. False when it is not a regular file that can be looked at.
bool LookAtFile(int folder, const std::string& name, const std::string& path, FileFacts& facts);

// True when no process with id `pid` is running any more.
bool ProcessIsGone(std::uint64_t pid);

// True when the test seam wants a save to fail at `stage`.
bool SaveFailsForTest(WekSaveStage stage);

// Calls the test seam's hook, if any, as a save reaches `stage`.
void ReachedForTest(WekSaveStage stage);

// The byte the test seam wants changed in a written file before it is read back (-1: none,
// -2: the file is cut short by its last byte).
std::int64_t DamageForTest();

// True when the test seam wants saves to use ReplaceFileW even under Wine (Windows only).
bool ReplaceFileForTest();

// True when a save should skip reading its new content back (a benchmark's comparison only).
bool SkipReadBackForBench();

}  // namespace wekio
