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
const char kFailedSummary[] = "%d of %d version 4 .olv files could not be resaved.";
const char kFailedLine[] = "%s: %s";
const char kFailedMore[] = "and %d more";
const char kSkippedOne[] = "One folder could not be searched.";
const char kSkippedSeveral[] = "%d folders could not be searched.";
const char kRegistryKey[] = "Local AppWizard-Generated Applications";
const char kAboutCaption[] = "About quorvel";
const char kAboutVersion[] = "quorvel Version 1.0";
const char kAboutSecondLine[] = "Re-saves version 4 .olv files in place.";

const char kOpenFolderMenu[] = "Open containing &folder";
const char kCopyPathMenu[] = "&Copy path";
const char kSaveListMenu[] = "Save list &as...";
const char kSaveListTitle[] = "Save list as";
const char kSaveListName[] = "olv-files.txt";
const char kSaveListFailed[] = "The list could not be saved to %s: %s.";
const char kOpenFolderFailed[] = "The folder %s could not be opened: %s.";
const char kNoFileManager[] = "no file manager is set up to show it";
const char kFolderGone[] = "it no longer exists";
const char kNeedsDesktop[] = "quorvel needs a desktop session (X11 or Wayland)";

std::string FormatLine(const char* format, const std::string& first, const std::string& second) {
    // Paths have any length: formatted piece by piece, never into a fixed buffer.
    std::string line = format;
    const std::size_t at = line.find("%s");
    line.replace(at, 2, first);
    line.replace(line.find("%s", at + first.size()), 2, second);
    return line;
}

}  // namespace quorvel::text
