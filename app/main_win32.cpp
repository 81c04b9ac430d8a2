// The Windows entry point: builds the Win32 backend and runs the application object on it.
#include <exception>
#include <string>

#include "app/QuorvelApp.h"
#include "platform/win32/Win32Backend.h"
#include "base/WinPath.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    using namespace quorvel;
    try {
        win32::Win32App backend(instance);
        theApp.SetPlatform(&backend);
        theApp.InitInstance();
        theApp.SetPlatform(nullptr);
    } catch (const std::exception& e) {
        // Errors inside the dialog are reported there; this catches start-up and shut-down.
        const std::wstring text = L"quorvel stopped because of an unexpected error:\n" + win32::Widen(e.what());
        ::MessageBoxW(nullptr, text.c_str(), L"quorvel", MB_OK | MB_ICONERROR);
        return 1;
    }
    return 0;
}
