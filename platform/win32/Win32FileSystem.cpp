#include "platform/win32/Win32FileSystem.h"

#include <vector>

#include "platform/win32/Win32.h"
#include "base/WinPath.h"

namespace quorvel::win32 {

namespace {

// The identity of the folder a path leads to. Links and junctions are followed, so a link
// back to an ancestor has the ancestor's identity and the search can recognise the loop.
bool FolderIdentityOf(const std::string& folder, FileIdentity& id) {
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

bool IsDots(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

class Win32Folder : public IFolder {
public:
    Win32Folder(std::string path, FileIdentity id) : m_path(std::move(path)), m_id(id) {}

    FileIdentity Identity() const override { return m_id; }

    bool ReadEntries(std::vector<FolderEntry>& entries) override {
        WIN32_FIND_DATAW data;
        // No attribute filter: hidden and system entries are listed like any other.
        const HANDLE find = ::FindFirstFileExW(ToWin32Path(m_path + "\\*").c_str(), FindExInfoBasic,
                                               &data, FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH);
        // A drive root without entries has not even the dot entries.
        if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
        do {
            if (IsDots(data.cFileName)) continue;
            entries.push_back({Narrow(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        } while (::FindNextFileW(find, &data));
        // An error in mid-folder keeps what was read, as readdir does on POSIX.
        ::FindClose(find);
        return true;
    }

    std::unique_ptr<IFolder> OpenFolder(const std::string& name) override {
        // The \\?\ form takes ".." literally; the walk then reopens the folder by name instead.
        return Open(m_path + "\\" + name);
    }

    bool RemoveFile(const std::string& name) override {
        const std::wstring path = ToWin32Path(m_path + "\\" + name);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            return false;
        return ::DeleteFileW(path.c_str()) != 0;
    }

    static std::unique_ptr<IFolder> Open(const std::string& path) {
        FileIdentity id;
        if (!FolderIdentityOf(path, id)) return nullptr;
        return std::make_unique<Win32Folder>(path, id);
    }

private:
    const std::string m_path;
    const FileIdentity m_id;
};

}  // namespace

std::unique_ptr<IFolder> Win32FileSystem::OpenFolder(const std::string& path) {
    return Win32Folder::Open(path);
}

}  // namespace quorvel::win32
