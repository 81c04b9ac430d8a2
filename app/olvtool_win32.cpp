// olvtool's Windows entry point: the arguments come from the wide command line, so that every
// name reaches olvtool whole, in UTF-8 like the rest of the program, whatever the ANSI code
// page; the common main then runs on them.
#include <windows.h>

#include <string>
#include <vector>

#include "app/OlvtoolMain.h"
#include "base/WinPath.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(quorvel::win32::Narrow(argv[i]));
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    return quorvel::olvtool::OlvtoolMain(argc, pointers.data());
}
