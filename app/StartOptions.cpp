#include "app/StartOptions.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace quorvel {

namespace {

// Qt's own command-line options (QGuiApplication, QApplication, the X11 platform), which Qt
// takes out of the arguments itself: with one dash or two, those in the first set with a value
// in the next argument, those in the second with "=value" in the same one.
const std::set<std::string> kQtOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "style", "stylesheet", "display", "geometry", "name", "title"};
const std::set<std::string> kQtOptionsWithEquals = {"style", "stylesheet", "qmljsdebugger"};
const std::set<std::string> kQtFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// How many arguments one of Qt's options at `arg` takes (1, or 2 with its value); 0 when
// `arg` is none of Qt's.
std::size_t QtOptionArguments(const std::string& arg) {
    const std::size_t dashes = arg.rfind("--", 0) == 0 ? 2 : 1;
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(dashes, equals == std::string::npos ? std::string::npos : equals - dashes);
    if (equals != std::string::npos) return kQtOptionsWithEquals.count(name) ? 1 : 0;
    if (kQtOptionsWithValue.count(name)) return 2;
    return kQtFlags.count(name) ? 1 : 0;
}

// `folder` made absolute against `cwd`: leading "." and ".." components are resolved (cwd
// is a real path, so ".." there is its parent), repeated and trailing slashes dropped.
std::string Absolute(const std::string& folder, const std::string& cwd) {
    if (!folder.empty() && folder.front() == '/') {
        std::string path = folder;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return path;
    }
    std::string path = cwd == "/" ? std::string() : cwd;
    bool leading = true;  // still among the leading "." and ".." components
    std::size_t start = 0;
    while (start <= folder.size()) {
        std::size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        const std::string part = folder.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." && leading) {
            path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
            continue;
        }
        leading = false;
        path += '/' + part;
    }
    return path.empty() ? "/" : path;
}

}  // namespace

StartOptions ParseStartOptions(const std::vector<std::string>& args, const std::string& cwd) {
    StartOptions options;
    std::vector<std::string> operands;
    bool help = false, version = false, optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (const std::size_t qt = QtOptionArguments(arg)) {
            i += qt - 1;  // its value is Qt's too
        } else if (options.error.empty()) {
            options.error = "unknown option '" + arg + "'";
        }
    }
    if (help) return {StartOptions::Action::Help, {}, {}};
    if (version) return {StartOptions::Action::Version, {}, {}};
    if (options.error.empty() && operands.size() > 1) options.error = "only one folder can be given";
    if (options.error.empty() && operands.size() == 1) {
        const std::string& folder = operands.front();
        struct stat st {};
        if (!folder.empty() && folder.front() != '/' && cwd.empty())
            options.error = "cannot open '" + folder + "': the working folder cannot be found";
        else if (folder.empty() || ::stat(folder.c_str(), &st) != 0)
            options.error = "cannot open '" + folder + "': " + std::strerror(folder.empty() ? ENOENT : errno);
        else if (!S_ISDIR(st.st_mode))
            options.error = "'" + folder + "' is not a folder";
        else
            options.folder = Absolute(folder, cwd);
    }
    if (!options.error.empty()) options.action = StartOptions::Action::Error;
    return options;
}

std::string StartHelp() {
    return "Usage: quorvel [FOLDER]\n"
           "Finds every .olv file in FOLDER and the folders beneath it, lists each with its\n"
           "format version and, on \"Fix files\", resaves the version 4 files in place.\n"
           "Without FOLDER, click \"Browse\" to choose one.\n"
           "\n"
           "  -h, --help     print this help and exit\n"
           "      --version  print the version and exit\n"
           "\n"
           "Qt's own options (-platform, -style, ...) are taken as Qt documents them.\n"
           "olvtool(1) does the same work from a terminal.\n";
}

}  // namespace quorvel
