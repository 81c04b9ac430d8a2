#include "platform/win32/Win32FileSystem.h"

#include <vector>

#include "scan/FolderSnapshot.h"
#include "platform/win32/Win32.h"
#include "base/WinPath.h"

namespace quorvel::win32 {

namespace {

// The identity of the folder a path leads to. Links and junctions are followed, so a link
// back to an ancestor has the ancestor's identity and the search can recognise the loop.
bool FolderIdentityOf(const std::string& folder, FolderIdentity& id) {
    // "D:" alone names the current folder of drive D; the search means its root.
    const std::string path = folder.size() == 2 && folder[1] == ':' ? folder + "\\" : folder;
    const HANDLE h = ::CreateFileW(ToWin32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0 &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    ::CloseHandle(h);
    if (!ok) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

}  // namespace

std::unique_ptr<IFolderEnum> Win32FileSystem::OpenFolder(const std::string& folder) {
    FolderIdentity id;
    if (!FolderIdentityOf(folder, id)) return nullptr;

    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW data;
    // No attribute filter: hidden and system entries are listed like any other.
    const HANDLE find = ::FindFirstFileExW(ToWin32Path(folder + "\\*").c_str(), FindExInfoBasic,
                                           &data, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        // A drive root without entries has not even the dot entries.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND)
            return std::make_unique<FolderSnapshot>(id, std::move(entries));
        return nullptr;
    }
    do {
        entries.push_back({Narrow(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (::FindNextFileW(find, &data));
    // An error in mid-folder keeps what was read, as readdir does on POSIX.
    ::FindClose(find);
    return std::make_unique<FolderSnapshot>(id, std::move(entries));
}

}  // namespace quorvel::win32
