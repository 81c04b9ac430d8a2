// olvtool's commands over a whole folder tree, built on the same folder search, version probe
// and fix pass as the dialog: `scan DIR` lists every .olv file with its version, `fix DIR`
// rewrites the version-4 files with the dialog's rules and outcomes.
#pragma once

namespace quorvel::olvtool {

// olvtool scan DIR [--jobs N]: one line per .olv file, "<version>\t<path>" with the path's bytes
// as they are, in the dialog's order, then a line with the counts. Each folder beneath DIR that
// could not be read or was not entered is named on stderr with the reason. Exit 0, 1 when a
// folder was not searched, or 2 on bad arguments or a root that cannot be read.
int Scan(int argc, char** argv);

// olvtool fix DIR [--jobs N]: rewrites every version-4 .olv file beneath DIR, one line per
// version-4 file, "<outcome>\t<path>" (outcomes as the dialog's rows show them), then a line
// with the counts. Folders not searched are named on stderr as by scan. Exit 0 when every one
// was resaved and every folder searched, 1 otherwise, 2 on bad arguments or a root that cannot
// be read.
int Fix(int argc, char** argv);

}  // namespace quorvel::olvtool
