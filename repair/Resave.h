// The repair of one file through the file library: load, check it is still version 4,
// mark modified, save over itself as version 4.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "scan/FileSystem.h"

namespace quorvel {

// The version that is counted by the analysis and rewritten by the fix pass.
inline constexpr int kTargetVersion = 4;

// Row reasons of the fix pass besides the file library's own.
inline constexpr char kNoLongerTarget[] = "no longer version 4";
inline constexpr char kChangedSinceListed[] = "changed since it was listed";
inline constexpr char kNotEnoughMemory[] = "not enough memory";
inline constexpr char kTooManyOpen[] = "too many open files";

struct ResaveResult {
    bool saved = false;   // true only when the file was really written
    std::string reason;   // why not, when !saved: a short phrase for the row
};

// A listed file as the fix pass reaches it. A path alone makes a target reached by that path;
// where only the path is wanted, a target stands for its path.
struct ResaveTarget {
    ResaveTarget() = default;
    ResaveTarget(std::string listedPath) : path(std::move(listedPath)) {}
    operator const std::string&() const { return path; }

    int folder = -1;     // the open folder that holds it (POSIX); -1: reached by its path
    std::string name;    // its name in that folder
    std::string path;    // the path it is listed under
};

// Rewrites the file in place: the entry `name` of the open folder `folder` (the folder is not
// looked up again), or the file at `path` when there is no folder. A file whose load fails, or
// that is no longer version 4, is not saved; a failed save leaves the original untouched (the
// library guarantees it). Running out of memory is a failure of this file ("not enough memory").
ResaveResult ResaveAsTargetVersion(const ResaveTarget& target);

// A target as the file system gives it now, before it is started: its size, and which file it
// is, since one file may be listed under several names (a link and its target, hard links, a
// path given twice).
struct TargetFacts {
    std::uint64_t size = 0;   // 0 when it cannot be told
    bool identified = false;  // `id` says which file it is
    FileIdentity id;          // device and inode; volume serial and file id on Windows
};
TargetFacts FactsOf(const ResaveTarget& target);

}  // namespace quorvel
