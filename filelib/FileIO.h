// The few operating-system calls the .olv library needs, so that the format code stays
// portable. FileIO_posix.cpp implements them for Linux, FileIO_win32.cpp for Windows. Paths are
// raw bytes of any length (UTF-8 on Windows). All functions return a WekStatus and never throw.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "filelib/WekVerify.h"

namespace wekio {

// Resolves `path` once (its folders and a final symbolic link are followed), opens the regular
// file found without following a link again and without opening anything that is not a
// regular file, and reads its first `limit` bytes (all of it when shorter) into `out`. With
// `keep`, stores there what was resolved, for SaveLoaded. Returns WEK_OK, WEK_ERR_OPEN (missing,
// no permission, folder, device, pipe, link loop) or WEK_ERR_READ. Never allocates more than
// the file's size.
int ReadFile(const std::string& path, std::uint64_t limit, std::string& out, LoadedFilePtr* keep);

#ifndef _WIN32
// ReadFile for the entry `name` (one name, no slash) of the open folder `folder`: the folder's
// path is not looked up again. With `keep`, stores there what was found, for SaveLoaded.
int ReadFileAt(int folder, const std::string& name, std::uint64_t limit, std::string& out,
               LoadedFilePtr* keep = nullptr);
#endif

// Gives the file `file` (from ReadFile) the content `data`, as CWekFile::Save describes for the
// loaded path: WEK_ERR_CHANGED when its name no longer holds that file. On success `file` now
// stands for the file holding the new content, so that another save works too.
int SaveLoaded(LoadedFile& file, const std::string& data);

// Gives the file `path`, resolved now, the content `data`, as CWekFile::Save describes for a
// path other than the loaded one: creates a missing name, never through a link.
int SaveToPath(const std::string& path, const std::string& data);

// True when no process with id `pid` is running any more.
bool ProcessIsGone(std::uint64_t pid);

// True when the test seam wants a save to fail at `stage`.
bool SaveFailsForTest(WekSaveStage stage);

// True when the test seam wants saves to use ReplaceFileW even under Wine (Windows only).
bool ReplaceFileForTest();

}  // namespace wekio
