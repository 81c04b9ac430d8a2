// olvtool's work on its command line, the arguments in UTF-8 on Windows (the Windows entry
// point converts them from the wide command line) and as given elsewhere.
#pragma once

namespace quorvel::olvtool {

// Runs the command that `argv` names; the process's exit code.
int OlvtoolMain(int argc, char** argv);

}  // namespace quorvel::olvtool
