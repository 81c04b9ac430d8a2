#include "ui/res/Texts.h"

namespace quorvel::text {

const char kAppName[] = "quorvel";
const char kAboutMenu[] = "&About quorvel...";
const char kPickerTitle[] = "Root directory for .olv file search";
const char kStep2Searching[] = "Step 2: [Please wait while the directory is searched ...]";
const char kSearchingRow[] = "Searching...";
const char kStep2Examine[] =
    "Step 2: Examine the list of .olv files that were found.  "
    "Only version 4 files will be modified by this prodedure.";
const char kNoFilesRow[] = "No .olv files were found in or under the specified root folder";
const char kStep2Analyzing[] = "Step 2: [Please wait while the files are analyzed ...]";
const char kSummaryNone[] = "Search complete.  No version 4 .olv files were found.";
const char kSummaryOne[] = "Search complete.  One version 4 .olv file was found";
const char kSummarySeveral[] = "Search complete.  %d version 4 .olv files were found.";
const char kWorking[] = "4 - working...";
const char kResaved[] = "4 - resaved";
const char kFailedPrefix[] = "4 - failed: ";
const char kFailedSummary[] = "%d of %d version 4 .olv files could not be resaved.";
const char kFailedLine[] = "%s: %s";
const char kFailedMore[] = "and %d more";
const char kSkippedOne[] = "One folder could not be searched.";
const char kSkippedSeveral[] = "%d folders could not be searched.";
// In the order of FolderProblem.
const char* const kFolderProblems[] = {
    "searched",
    "permission denied",
    "could not be read",
    "no longer there",
    "changed during the search",
    "a system file system, not searched",
    "a link owned by another user, not followed",
    "too many open files",
    "too many open files",
};
const char kRegistryKey[] = "Local AppWizard-Generated Applications";
const char kAboutCaption[] = "About quorvel";
const char kAboutVersion[] = "quorvel Version 1.0";
const char kAboutSecondLine[] = "Re-saves version 4 .olv files in place.";

const char kOpenFolderMenu[] = "Open containing &folder";
const char kCopyPathMenu[] = "&Copy path";
const char kNeedsDesktop[] = "quorvel needs a desktop session (X11 or Wayland)";

}  // namespace quorvel::text
