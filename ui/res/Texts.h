// Every text the program shows, exactly as the user sees it.
#pragma once

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
extern const char kWorking[];
extern const char kResaved[];
extern const char kFailedPrefix[];     // followed by a short reason
extern const char kFailedSummary[];    // printf format: failed count, files attempted
extern const char kFailedLine[];       // printf format: path, reason (one line per failed file)
extern const char kFailedMore[];       // printf format: failed files not listed
// The summary's part on folders the search could not read or did not enter; each is named
// with kFailedLine and the reason, by FolderProblem.
extern const char kSkippedOne[];
extern const char kSkippedSeveral[];   // printf format: folders not searched
extern const char* const kFolderProblems[];
extern const char kRegistryKey[];
extern const char kAboutCaption[];
extern const char kAboutVersion[];
extern const char kAboutSecondLine[];

// The file list's row menu (both platforms).
extern const char kOpenFolderMenu[];
extern const char kCopyPathMenu[];
// Printed by the Linux program when started outside a desktop session.
extern const char kNeedsDesktop[];

}  // namespace quorvel::text
