// Extra .olv functions for olvtool, tests and tools: strict checking, writing sample files,
// and the seam that makes a save fail on purpose in tests.
#pragma once

#include <string>
#include <vector>

#include "filelib/WekFile.h"

// Strictly checks the .olv file `path`: WEK_OK only for a fully consistent file of version
// 1 to 5; the recoverable version-4 fault gives WEK_ERR_CORRUPT. `pDetail`, if given, receives a
// one-line reason ("index checksum does not match ...") or a summary when valid. Never throws.
int WekVerify(const char* path, std::string* pDetail = nullptr);

// Encodes `records` as a complete file image of `version` (any value >= 1; versions above 5
// use the version-5 layout). `withFault` writes the recoverable version-4 fault and is refused
// for other versions. Returns false, leaving `out` empty, for such bad arguments or records too
// large for the format.
bool WekEncode(int version, const std::vector<std::string>& records, bool withFault, std::string& out);

// Writes a file made by WekEncode to `path` the way Save writes to a path other than the loaded
// one (links written through, a missing name created but never through a link, read-only files
// refused, everything the file had kept). Returns WEK_OK, WEK_ERR_ARGUMENT for arguments
// WekEncode refuses, or Save's error statuses.
int WekWriteSample(const char* path, int version, const std::vector<std::string>& records, bool withFault);

// The name of the backup copy an in-place rewrite of the file named `name` keeps beside it while
// it runs: "<name>.olvkeep", with `name` shortened (never inside a UTF-8 sequence) where the
// whole would pass the 255-byte limit of a name.
std::string WekBackupCopyName(const std::string& name);

// The steps of a save at which a test can make it fail.
enum WekSaveStage : int {
    WEK_STAGE_NONE = 0,     // saves run normally
    WEK_STAGE_CREATE,       // creating the temporary file
    WEK_STAGE_WRITE,        // writing its bytes
    WEK_STAGE_PERMISSIONS,  // giving it the original's permission bits
    WEK_STAGE_FSYNC,        // flushing it to disk
    WEK_STAGE_RENAME,       // renaming it over the original
    WEK_STAGE_UNNAMED,      // the file system refuses unnamed temporary files (Linux only)
    WEK_STAGE_COPY,         // in place: writing and flushing the backup copy
    WEK_STAGE_OVERWRITE,    // in place: writing the new content (fails halfway through)
    WEK_STAGE_RESTORE,      // in place: putting the original content back after a failure
    WEK_STAGE_REPLACE_FILE, // Windows: ReplaceFileW (the save then renames instead)
    WEK_STAGE_EXCHANGE,     // the file system cannot swap two names in one step (Linux only)
    WEK_STAGE_CLEAN_UP,     // removing the backup copy, or the original's old content after a swap
    WEK_STAGE_REFUSED,      // in place: the new content is refused before a byte is written
    WEK_STAGE_OPEN,         // the hook only: a name was looked at and is about to be opened
};

// Test seam: until called again with WEK_STAGE_NONE, every save fails at `stage` as if that
// system call had failed (Save then returns the status that failure gives).
void WekSetSaveFailureForTest(WekSaveStage stage);

// Test seam: makes saves fail at `stage` as well as at the stages already chosen.
void WekAddSaveFailureForTest(WekSaveStage stage);

// Test seam: `hook` (null: none) is called with `context` as a save reaches these stages, on the
// saving thread, and the save waits for it: WEK_STAGE_RENAME just before the new file takes the
// original's place (after the last checks on Linux, where what the swap takes out is checked
// again; before them on Windows), WEK_STAGE_OVERWRITE just before the last checks that
// come before an in-place rewrite writes over the file (its backup copy is complete),
// WEK_STAGE_OPEN when any open for reading has looked at a name and is about to open it.
void WekSetSaveHookForTest(void (*hook)(WekSaveStage stage, void* context), void* context);

// Test seam: with `offset` >= 0, every save changes the byte at `offset` of the file it wrote
// (when it has one there) before reading the file back; -2 cuts the file short by its last
// byte; -1 ends this.
void WekDamageWrittenFileForTest(long long offset);

// Test seam (Windows): with true, saves replace files with ReplaceFileW even under Wine, where
// they otherwise rename, because Wine's ReplaceFileW deletes the original before it moves the
// new file in. No effect elsewhere.
void WekUseReplaceFileForTest(bool use);

// For benchmarks only: with true, saves do not read their new content back before it replaces
// the original, so that the cost of that check can be measured.
void WekSkipReadBackForBench(bool skip);
