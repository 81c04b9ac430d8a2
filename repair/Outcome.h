// The texts that tell a version-4 file's outcome in the fix pass, shared by every front end
// (the dialog's rows, olvtool's lines), and the one function that picks between them.
#pragma once

#include <string>

#include "repair/Resave.h"

namespace quorvel::outcome {

inline constexpr char kWorking[] = "4 - working...";
inline constexpr char kResaved[] = "4 - resaved";
inline constexpr char kFailedPrefix[] = "4 - failed: ";  // followed by the result's reason

// "4 - resaved" for a saved file, otherwise "4 - failed: " and the reason.
inline std::string Text(const ResaveResult& result) {
    return result.saved ? std::string(kResaved) : kFailedPrefix + result.reason;
}

}  // namespace quorvel::outcome
