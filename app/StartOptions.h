// The Linux program's command line: quorvel [FOLDER], --help and --version, and the options
// Qt itself takes (-platform, -style, ...), which are left to Qt.
#pragma once

#include <string>
#include <vector>

namespace quorvel {

struct StartOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    // The folder to Browse at once, absolute ("" for none).
    std::string folder;
    // For Error: what is wrong, one line without the program's name.
    std::string error;
};

// Reads the arguments after the program's name. `cwd` is the working folder that a relative
// FOLDER is taken in ("" when it cannot be found, as when it was deleted: then a relative
// FOLDER is an error); the folder must exist. "." and ".." at the start of a relative FOLDER are
// resolved against `cwd` (which holds no links), the rest of the path is kept as given.
StartOptions ParseStartOptions(const std::vector<std::string>& args, const std::string& cwd);

// The text of --help, ending in a newline.
std::string StartHelp();

}  // namespace quorvel
