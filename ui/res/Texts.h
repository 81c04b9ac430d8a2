// Every text the program shows, exactly as the user sees it.
#pragma once

#include <string>

#include "repair/Outcome.h"

namespace quorvel::text {

extern const char kAppName[];
extern const char kAboutMenu[];
extern const char kPickerTitle[];
extern const char kStep2Searching[];
extern const char kSearchingRow[];
extern const char kStep2Examine[];
extern const char kNoFilesRow[];
extern const char kStep2Analyzing[];
extern const char kSummaryNone[];
extern const char kSummaryOne[];
extern const char kSummarySeveral[];   // printf format with one %d
// The fix pass's row texts live with the fix pass, shared with olvtool.
using outcome::kWorking;
using outcome::kResaved;
using outcome::kFailedPrefix;        // followed by a short reason
extern const char kFailedSummary[];    // printf format: failed count, files attempted
extern const char kFailedLine[];       // printf format: path, reason (one line per failed file)
extern const char kFailedMore[];       // printf format: failed files not listed
// The summary's part on folders the search could not read or did not enter; each is named
// with kFailedLine and its reason (FolderProblemText).
extern const char kSkippedOne[];
extern const char kSkippedSeveral[];   // printf format: folders not searched
extern const char kRegistryKey[];
extern const char kAboutCaption[];
extern const char kAboutVersion[];
extern const char kAboutSecondLine[];

// The file list's row menu (both platforms).
extern const char kOpenFolderMenu[];
extern const char kCopyPathMenu[];
extern const char kSaveListMenu[];
// The save-file dialog of "Save list as...", the name it proposes, and the box when the
// list could not be written.
extern const char kSaveListTitle[];
extern const char kSaveListName[];
extern const char kSaveListFailed[];   // printf format: the file's path, the reason
// The box when the folder of a file could not be shown in a file manager, and its reasons.
extern const char kOpenFolderFailed[]; // printf format: the folder's path, the reason
extern const char kNoFileManager[];
extern const char kFolderGone[];
// Printed by the Linux program when started outside a desktop session.
extern const char kNeedsDesktop[];

// `format` with its two "%s" replaced by `first` and `second`, whatever their length.
std::string FormatLine(const char* format, const std::string& first, const std::string& second);

}  // namespace quorvel::text
