#include "repair/Resave.h"

#include <cstring>
#include <new>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

TargetFacts FactsOf(const ResaveTarget& target) {
    TargetFacts facts;
#ifndef _WIN32
    // What the file system last gave: on a share a question for the whole status (the access
    // time moves with every read) would travel each time. Links are followed, as the load does.
    struct statx x;
    const int at = target.folder >= 0 ? target.folder : AT_FDCWD;
    const std::string& name = target.folder >= 0 ? target.name : target.path;
    if (statx(at, name.c_str(), 0, STATX_TYPE | STATX_SIZE | STATX_INO, &x) != 0 || !S_ISREG(x.stx_mode)) return facts;
    facts.size = x.stx_size;
    facts.identified = (x.stx_mask & STATX_INO) != 0;
    facts.id.volume = makedev(x.stx_dev_major, x.stx_dev_minor);
    facts.id.index = x.stx_ino;
#else
    // Attributes only: no sharing mode of another program's is in the way.
    const HANDLE h = ::CreateFileW(win32::ToWin32Path(target.path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return facts;
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        facts.identified = true;
        facts.id.volume = info.dwVolumeSerialNumber;
        facts.id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        // 128-bit ids (ReFS) and 64-bit volume serials where the system gives them.
        FILE_ID_INFO ids{};
        if (::GetFileInformationByHandleEx(h, FileIdInfo, &ids, sizeof ids)) {
            facts.id.volume = ids.VolumeSerialNumber;
            static_assert(sizeof ids.FileId.Identifier == 16);
            std::memcpy(&facts.id.index, ids.FileId.Identifier, 8);
            std::memcpy(&facts.id.indexHigh, ids.FileId.Identifier + 8, 8);
        }
    }
    ::CloseHandle(h);
#endif
    return facts;
}

}  // namespace quorvel
