#include "repair/Resave.h"

#include <new>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#else
#include "base/WinPath.h"
#include <windows.h>
#endif

#include "filelib/WekFile.h"

namespace quorvel {

ResaveResult ResaveAsTargetVersion(const ResaveTarget& target) {
    try {
        CWekFile file;
#ifndef _WIN32
        const int loaded = target.folder >= 0
                               ? file.LoadAt(target.folder, target.name.c_str(), target.path.c_str(), nullptr, nullptr)
                               : file.Load(target.path.c_str(), nullptr, nullptr, 0, 0);
#else
        const int loaded = file.Load(target.path.c_str(), nullptr, nullptr, 0, 0);
#endif
        if (loaded < 0) return {false, WekStatusText(loaded)};
        // The file may have changed since the analysis; only version 4 is rewritten.
        if (file.GetSimpleVersion() != kTargetVersion) return {false, kNoLongerTarget};
        file.SetModified(1, 1);
        // The path the load was tied to: the save writes exactly the file that was loaded.
        const int saved = file.Save(target.path.c_str(), nullptr, nullptr, nullptr, kTargetVersion);
        if (saved < 0) return {false, WekStatusText(saved)};
        return {true, {}};
    } catch (const std::bad_alloc&) {
        return {false, kNotEnoughMemory};
    }
}

std::uint64_t SizeOf(const ResaveTarget& target) {
#ifndef _WIN32
    // Only the type and size, as the file system last gave them: on a share a question for the
    // whole status (the access time moves with every read) would travel each time.
    struct statx x;
    const int at = target.folder >= 0 ? target.folder : AT_FDCWD;
    const std::string& name = target.folder >= 0 ? target.name : target.path;
    if (statx(at, name.c_str(), 0, STATX_TYPE | STATX_SIZE, &x) != 0) return 0;
    return S_ISREG(x.stx_mode) ? static_cast<std::uint64_t>(x.stx_size) : 0;
#else
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(win32::ToWin32Path(target.path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
#endif
}

}  // namespace quorvel
