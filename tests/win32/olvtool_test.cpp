// olvtool.exe with names in scripts the ANSI code page cannot hold (Cyrillic, CJK, emoji): its
// arguments come from the wide command line, its output reaches files and pipes as UTF-8 and a
// console as the same characters.

#include "tests/win32/Support.h"

namespace quorvel::test {
namespace {

using namespace win32;

// olvtool.exe of this build: ..\app\olvtool.exe from the test program.
std::wstring OlvtoolExe() {
    wchar_t self[MAX_PATH] = {};
    std::wstring path(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    path.resize(path.rfind(L'\\'));
    path.resize(path.rfind(L'\\') + 1);
    return path + L"app\\olvtool.exe";
}

struct ToolRun {
    DWORD code = 999;
    std::string out, err;
};

// Runs olvtool.exe with `args` (each quoted) on the wide command line. With `toFiles`, its
// standard output and error go to files, read back as bytes; otherwise it writes to this
// process's console.
ToolRun Olvtool(const std::vector<std::string>& args, const TempFolder& tmp, bool toFiles = true) {
    std::wstring line = L"\"" + OlvtoolExe() + L"\"";
    for (const std::string& a : args) line += L" \"" + Widen(a) + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::string outPath = tmp.Sub("stdout.txt"), errPath = tmp.Sub("stderr.txt");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    HANDLE out = INVALID_HANDLE_VALUE, err = INVALID_HANDLE_VALUE;
    if (toFiles) {
        constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        out = ::CreateFileW(Widen(outPath).c_str(), GENERIC_WRITE, kShare, &inherit, CREATE_ALWAYS, 0, nullptr);
        err = ::CreateFileW(Widen(errPath).c_str(), GENERIC_WRITE, kShare, &inherit, CREATE_ALWAYS, 0, nullptr);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out;
        si.hStdError = err;
    }
    ToolRun run;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, toFiles, 0, nullptr, nullptr, &si, &pi)) {
        ::WaitForSingleObject(pi.hProcess, 60000);
        ::GetExitCodeProcess(pi.hProcess, &run.code);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    if (toFiles) {
        ::CloseHandle(out);
        ::CloseHandle(err);
        run.out = ReadAll(outPath);
        run.err = ReadAll(errPath);
    }
    return run;
}

// Folder and file names in scripts outside every ANSI code page's reach at once.
const struct { const char* script; const char* folder; const char* file; } kNames[] = {
    {"Cyrillic", "\xd0\x9a\xd0\xb8\xd1\x80\xd0\xb8\xd0\xbb\xd0\xbb\xd0\xb8\xd1\x86\xd0\xb0",  // Кириллица
     "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.olv"},                                              // файл.olv
    {"CJK", "\xe6\xbc\xa2\xe5\xad\x97\xe3\x83\x95\xe3\x82\xa9\xe3\x83\xab\xe3\x83\x80",     // 漢字フォルダ
     "\xe6\x96\x87\xe4\xbb\xb6.olv"},                                                      // 文件.olv
    {"emoji", "\xf0\x9f\x98\x80 files", "\xf0\x9f\x8e\x89.olv"},                            // 😀 files, 🎉.olv
};

// Every command takes such names whole and prints them as they are.
TEST(Win32Olvtool, TakesAndPrintsNamesInAnyScript) {
    for (const auto& n : kNames) {
        SCOPED_TRACE(n.script);
        TempFolder tmp;
        const std::string folder = tmp.Folder(n.folder);
        const std::string file = folder + "\\" + n.file;
        const struct { std::vector<std::string> args; std::string expected; } steps[] = {
            {{"make", file, "--version", "4", "--fault"}, file + ": wrote version 4"},
            {{"scan", folder}, "4\t" + file + "\r\n"},
            {{"info", file}, "file: " + file + "\r\n"},
            {{"fix", folder}, "4 - resaved\t" + file + "\r\n"},
            {{"verify", file}, file + ": ok"},
            {{"demo", tmp.Sub(std::string(n.folder) + " demo")}, "demo tree in " + tmp.Sub(std::string(n.folder) + " demo")},
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(step.args[0]);
            const ToolRun run = Olvtool(step.args, tmp);
            EXPECT_EQ(run.code, 0u) << run.err;
            EXPECT_NE(run.out.find(step.expected), std::string::npos) << run.out;
        }
        EXPECT_EQ(Names(folder), (std::set<std::string>{n.file}));
        EXPECT_TRUE(Names(tmp.Path()).count(std::string(n.folder) + " demo"));
    }
}

// The characters of a line of the console's screen buffer that hold `text`, or "" when none does.
std::wstring ConsoleLineWith(const std::wstring& text) {
    const HANDLE screen = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    std::wstring found;
    if (screen != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(screen, &info)) {
        std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
        for (SHORT y = 0; y < info.dwSize.Y && found.empty(); ++y) {
            DWORD read = 0;
            ::ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &read);
            if (row.find(text) != std::wstring::npos) found = row;
        }
    }
    if (screen != INVALID_HANDLE_VALUE) ::CloseHandle(screen);
    return found;
}

// On a console the same names show as their characters, not as the UTF-8 bytes read in the
// console's code page.
TEST(Win32Olvtool, ShowsNamesOnAConsole) {
    // A console of its own, with a screen buffer to read back (the one the tests may have
    // inherited can be a terminal's).
    ::FreeConsole();
    if (!::AllocConsole()) GTEST_SKIP() << "no console can be made here (error " << ::GetLastError() << ")";
    TempFolder tmp;
    std::vector<std::string> files;
    for (const auto& n : kNames) files.push_back(tmp.Olv(n.file, 4));
    EXPECT_EQ(Olvtool({"scan", tmp.Path()}, tmp, false).code, 0u);
    for (const std::string& f : files) EXPECT_NE(ConsoleLineWith(Widen(f)), L"") << f;
    ::FreeConsole();
}

}  // namespace
}  // namespace quorvel::test
