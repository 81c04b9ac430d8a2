// The repair of one file through the file library: load, check it is still version 4,
// mark modified, save over itself as version 4.
#pragma once

#include <string>

namespace quorvel {

// The version that is counted by the analysis and rewritten by the fix pass.
inline constexpr int kTargetVersion = 4;

struct ResaveResult {
    bool saved = false;   // true only when the file was really written
    std::string reason;   // why not, when !saved: a short phrase for the row
};

// Rewrites `path` in place. A file whose load fails, or that is no longer version 4,
// is not saved; a failed save leaves the original untouched (the library guarantees it).
ResaveResult ResaveAsTargetVersion(const std::string& path);

}  // namespace quorvel
