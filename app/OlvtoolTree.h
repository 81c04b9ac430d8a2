// olvtool's commands over whole folder trees, built on the same folder search, version probe
// and fix pass as the dialog: `scan` lists every .olv file with its version, `fix` rewrites the
// version-4 files with the dialog's rules and outcomes.
//
// Operands are folders to walk (ROOT) or files to take as they are, from the command line and
// then from each --from file. Records go to standard output in the order the files were
// found, one per file; the counts, progress and every problem go to standard error.
#pragma once

#include "app/OlvtoolArgs.h"

namespace quorvel::olvtool {

// olvtool scan: one record per .olv file, "<version>\t<path>" (or JSON, or NUL-terminated), in
// the dialog's order. Each folder beneath a root that could not be read or was not entered is
// named on stderr with the reason. Exit 0; 1 when a folder was not searched; 2 when an operand is
// empty, missing or cannot be read, or on bad arguments; 128 + the signal when stopped by one.
int Scan(const Parsed& parsed);

// olvtool fix: rewrites every version-4 .olv file found, one record per version-4 file,
// "<outcome>\t<path>" with the dialog's outcome texts (with --dry-run: "4\t<path>" and nothing
// written). Files are rewritten while the search goes on, each reached through the folders the
// search recorded for it. Exit 0 when every one was resaved and every folder searched, 1
// otherwise, 2 as for scan or when a file found cannot be read (2 wins over 1), 128 + the signal
// when stopped by one (the files in flight are finished first).
int Fix(const Parsed& parsed);

}  // namespace quorvel::olvtool
