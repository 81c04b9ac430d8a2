#include "platform/win32/Win32FileSystem.h"

#include <aclapi.h>
#include <winternl.h>

#include <memory>
#include <vector>

#include "base/WinPath.h"
#include "platform/win32/Win32.h"

namespace quorvel::win32 {

namespace {

// What a held folder may be asked: its entries, its attributes and identity, its owner.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// Others may read and write in it, but not rename, move or delete it while it is held.
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool IsDots(const wchar_t* name, std::size_t length) {
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

FolderProblem ProblemOf(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED: return FolderProblem::Denied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME: return FolderProblem::Gone;
    case ERROR_SHARING_VIOLATION: return FolderProblem::Changed;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES: return FolderProblem::NoRoom;
    default: return FolderProblem::Unreadable;
    }
}

// True for an elevated process and for one that may read any file (the backup privilege on).
bool MayBypassPermissions() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    bool privileged = false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated)
        privileged = true;
    LUID backup;
    if (!privileged && ::LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &backup)) {
        PRIVILEGE_SET set{1, PRIVILEGE_SET_ALL_NECESSARY, {{backup, 0}}};
        BOOL held = FALSE;
        if (::PrivilegeCheck(token, &set, &held) && held) privileged = true;
    }
    ::CloseHandle(token);
    return privileged;
}

// The owner of the object behind `handle`, copied; empty when it cannot be read.
std::vector<BYTE> OwnerOf(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<BYTE> sid;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &descriptor) == ERROR_SUCCESS &&
        owner && ::IsValidSid(owner)) {
        const DWORD length = ::GetLengthSid(owner);
        sid.resize(length);
        ::CopySid(length, sid.data(), owner);
    }
    if (descriptor) ::LocalFree(descriptor);
    return sid;
}

bool IsSystemOwner(std::vector<BYTE>& sid) {
    if (sid.empty()) return false;
    for (const WELL_KNOWN_SID_TYPE type : {WinBuiltinAdministratorsSid, WinLocalSystemSid})
        if (::IsWellKnownSid(sid.data(), type)) return true;
    return false;
}

bool ReadIdentity(HANDLE handle, FileIdentity& id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    id.birth = (std::uint64_t{info.ftCreationTime.dwHighDateTime} << 32) | info.ftCreationTime.dwLowDateTime;
    // 128-bit ids (ReFS) and 64-bit volume serials where the system gives them (Windows 8 on).
    FILE_ID_INFO ids{};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids)) {
        id.volume = ids.VolumeSerialNumber;
        std::uint64_t low = 0, high = 0;
        static_assert(sizeof ids.FileId.Identifier == 16);
        memcpy(&low, ids.FileId.Identifier, 8);
        memcpy(&high, ids.FileId.Identifier + 8, 8);
        id.index = low;
        id.indexHigh = high;
    }
    return true;
}

// Opens `name` relative to the folder `parent`, or `path` when `parent` is null.
HANDLE OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, bool reparsePoint, DWORD& error) {
    if (!parent) {
        const HANDLE h = ::CreateFileW(name.c_str(), access, kFolderShare, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | (reparsePoint ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                                       nullptr);
        error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
        return h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
    UNICODE_STRING unicode;
    unicode.Buffer = const_cast<wchar_t*>(name.c_str());
    unicode.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE h = nullptr;
    constexpr ULONG kFileOpen = 1, kSynchronousNonAlert = 0x20, kForBackup = 0x4000;
    const NTSTATUS result = ::NtCreateFile(
        &h, access, &attributes, &status, nullptr, 0, kFolderShare, kFileOpen,
        kSynchronousNonAlert | kForBackup | (reparsePoint ? FILE_OPEN_REPARSE_POINT : FILE_DIRECTORY_FILE), nullptr, 0);
    error = result >= 0 ? ERROR_SUCCESS : ::RtlNtStatusToDosError(result);
    return result >= 0 ? h : nullptr;
}

struct Context {
    bool privileged = false;
};

class Win32Folder : public IFolder, public std::enable_shared_from_this<Win32Folder> {
public:
    Win32Folder(HANDLE handle, std::string path, FileIdentity id, std::shared_ptr<const Context> context,
                std::shared_ptr<const IFolder> parent, HANDLE link)
        : m_handle(handle),
          m_path(std::move(path)),
          m_id(id),
          m_context(std::move(context)),
          m_parent(std::move(parent)),
          m_link(link) {}
    ~Win32Folder() override {
        ::CloseHandle(m_handle);
        if (m_link) ::CloseHandle(m_link);
    }
    Win32Folder(const Win32Folder&) = delete;
    Win32Folder& operator=(const Win32Folder&) = delete;

    // Takes over `handle` (and `link`): a folder of it, or why not.
    static OpenedFolder Adopt(HANDLE handle, DWORD error, std::string path, std::shared_ptr<const Context> context,
                              std::shared_ptr<const IFolder> parent = nullptr, HANDLE link = nullptr) {
        OpenedFolder opened;
        FileIdentity id;
        if (!handle) {
            opened.problem = ProblemOf(error);
        } else if (!ReadIdentity(handle, id)) {
            opened.problem = FolderProblem::Gone;
        } else {
            opened.folder = std::make_unique<Win32Folder>(handle, std::move(path), id, std::move(context),
                                                          std::move(parent), link);
            return opened;
        }
        if (handle) ::CloseHandle(handle);
        if (link) ::CloseHandle(link);
        return opened;
    }

    FileIdentity Identity() const override { return m_id; }

    FolderProblem ReadEntries(std::vector<FolderEntry>& entries) override {
        const std::size_t before = entries.size();
        alignas(8) BYTE buffer[64 * 1024];
        FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
        while (::GetFileInformationByHandleEx(m_handle, kind, buffer, sizeof buffer)) {
            kind = FileIdBothDirectoryInfo;
            for (DWORD at = 0;;) {
                const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
                const std::size_t length = entry->FileNameLength / sizeof(wchar_t);
                if (!IsDots(entry->FileName, length))
                    entries.push_back({Narrow(std::wstring_view(entry->FileName, length)),
                                       (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
                if (entry->NextEntryOffset == 0) break;
                at += entry->NextEntryOffset;
            }
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) return FolderProblem::None;
        entries.resize(before);
        return error == ERROR_ACCESS_DENIED ? FolderProblem::Denied : FolderProblem::Unreadable;
    }

    OpenedFolder OpenFolder(const std::string& name, Links links) override {
        const std::string path = m_path + "\\" + name;
        // The parent of a held folder is the one it was opened in (the walk asks only for that).
        if (name == "..") {
            OpenedFolder opened;
            opened.problem = FolderProblem::Gone;
            return opened;
        }
        const std::wstring wide = Widen(name);
        DWORD error = ERROR_SUCCESS;
        // The entry itself first, without following a link at it: held, it cannot be swapped
        // for another while the folder it leads to is held.
        HANDLE self = OpenRelative(m_handle, wide, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, true, error);
        if (!self) return Adopt(nullptr, error, path, m_context);
        FILE_ATTRIBUTE_TAG_INFO tag{};
        const bool isLink = ::GetFileInformationByHandleEx(self, FileAttributeTagInfo, &tag, sizeof tag) &&
                            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                            (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
        const std::shared_ptr<const IFolder> parent = weak_from_this().lock();
        if (!isLink) {
            ::CloseHandle(self);
            HANDLE h = OpenRelative(m_handle, wide, kFolderAccess, false, error);
            return Adopt(h, error, path, m_context, parent);
        }
        if (links == Links::Refuse) {
            ::CloseHandle(self);
            OpenedFolder opened;
            opened.problem = FolderProblem::Changed;
            return opened;
        }
        HANDLE h = OpenRelative(m_handle, wide, kFolderAccess, false, error);
        OpenedFolder opened = Adopt(h, error, path, m_context, parent, self);
        if (!opened.folder) return opened;
        opened.throughLink = true;
        if (m_context->privileged) {
            std::vector<BYTE> linkOwner = OwnerOf(self);
            const std::vector<BYTE> folderOwner = OwnerOf(h);
            const bool sameOwner = !linkOwner.empty() && !folderOwner.empty() &&
                                   ::EqualSid(linkOwner.data(), const_cast<BYTE*>(folderOwner.data()));
            if (!sameOwner && !IsSystemOwner(linkOwner)) {
                opened.folder.reset();
                opened.problem = FolderProblem::LinkOwner;
            }
        }
        return opened;
    }

    bool RemoveFile(const std::string& name) override {
        const std::wstring path = ToWin32Path(m_path + "\\" + name);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            return false;
        return ::DeleteFileW(path.c_str()) != 0;
    }

private:
    const HANDLE m_handle;
    const std::string m_path;
    const FileIdentity m_id;
    const std::shared_ptr<const Context> m_context;
    const std::shared_ptr<const IFolder> m_parent;  // held so that the path keeps leading here
    const HANDLE m_link;                            // the link that led here, held likewise
};

}  // namespace

OpenedFolder Win32FileSystem::OpenFolder(const std::string& path) {
    auto context = std::make_shared<Context>();
    context->privileged = MayBypassPermissions();
    // "D:" alone names the current folder of drive D; the search means its root.
    const std::string folder = path.size() == 2 && path[1] == ':' ? path + "\\" : path;
    DWORD error = ERROR_SUCCESS;
    HANDLE h = OpenRelative(nullptr, ToWin32Path(folder), kFolderAccess, false, error);
    return Win32Folder::Adopt(h, error, path, context);
}

}  // namespace quorvel::win32
