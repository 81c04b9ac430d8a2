// The few operating-system calls the .olv library needs, so that the format code stays
// portable. FileIO_posix.cpp implements them for Linux and other POSIX systems; a Windows
// file implements the same functions. Paths are raw bytes of any length (UTF-8 on Windows).
// All functions return a WekStatus and never throw.
#pragma once

#include <cstdint>
#include <string>

#include "filelib/WekVerify.h"

namespace wekio {

// Reads the first `limit` bytes of the regular file `path` (all of it when shorter) into `out`.
// Returns WEK_OK, WEK_ERR_OPEN (missing, no permission, folder, device or pipe) or WEK_ERR_READ.
// Never allocates more than the file's size.
int ReadFileBytes(const std::string& path, std::uint64_t limit, std::string& out);

// Follows symbolic links from `path` (at most 40 hops; relative link text is relative to the
// link's folder) and stores the final, non-link path in `target`, which need not exist.
// Returns WEK_OK, or WEK_ERR_OPEN for a link loop or a folder that cannot be opened.
int ResolveLinks(const std::string& path, std::string& target);

// True when the existing file `path` must not be rewritten: it has no write permission bit at
// all, or the caller may not write it (e.g. a read-only file system). False for a missing file.
bool IsReadOnlyFile(const std::string& path);

// Replaces the regular file `path` (not a link; created when missing) with `data`: a temporary
// file in the same folder is written, given the original's permission bits (and owner and group
// where allowed), flushed, renamed over `path`, and the folder is flushed. Returns WEK_OK or
// WEK_ERR_WRITE; on failure `path` is untouched and the temporary file is removed. The one
// exception: when flushing the folder fails after the rename, the new content is already in
// place and WEK_ERR_WRITE reports that it may not survive a crash.
int ReplaceFileAtomic(const std::string& path, const std::string& data);

// The stage WekSetSaveFailureForTest chose, WEK_STAGE_NONE normally.
WekSaveStage SaveFailureForTest();

}  // namespace wekio
