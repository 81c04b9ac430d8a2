// FileIO.h on Windows, with the wide file API. Paths are UTF-8 of any length; long ones reach
// the system in the \\?\ form.
#include "filelib/FileIO.h"

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <atomic>

#include "base/WinPath.h"

namespace wekio {

namespace {

using quorvel::win32::FromWin32Path;
using quorvel::win32::ToWin32Path;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a save carries over from the original besides its security. Compression, sparseness,
// encryption and the like describe how the old bytes were stored; read-only files are never
// rewritten. The archive bit is set: the file has changed since its last backup.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Closes the handle when it goes out of scope.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

// True when the test seam wants `stage` to fail; sets the last error like a failed call would.
bool InjectedFailure(WekSaveStage stage) {
    if (SaveFailureForTest() != stage) return false;
    ::SetLastError(ERROR_WRITE_FAULT);
    return true;
}

// True for symbolic links and junctions (name surrogates), not for other reparse points
// such as cloud or deduplicated files, which are ordinary files to their users. An unknown
// tag (Wine reports 0 for Unix links) counts as a link, the safer guess.
bool IsLink(const std::wstring& path, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return true;
    ::FindClose(find);
    return data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0);
}

bool WriteAll(HANDLE h, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, DWORD{1} << 30));
        DWORD written = 0;
        if (!::WriteFile(h, data.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

// The part of `path` before its last component, with its separator ("" for a bare name).
std::string FolderPrefix(const std::string& path) {
    const std::size_t sep = path.find_last_of("\\/");
    if (sep != std::string::npos) return path.substr(0, sep + 1);
    // "C:name" is relative to the current folder of drive C.
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return {};
}

// Gives `temp` the attributes, creation time and access control list of `original`.
bool KeepAttributesAndSecurity(const std::wstring& original, HANDLE temp, const WIN32_FILE_ATTRIBUTE_DATA& info) {
    FILE_BASIC_INFO basic{};  // zero times stay as they are
    basic.CreationTime.LowPart = info.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(info.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = (info.dwFileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    if (!::SetFileInformationByHandle(temp, FileBasicInfo, &basic, sizeof basic)) return false;

    // The access list is copied as it is, with its protection from inheritance. The owner
    // becomes the saver, as with any rewrite; keeping it would need restore privileges.
    const Handle source(::CreateFileW(original.c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!source.Valid()) return false;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(source.h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool ok = ::GetSecurityDescriptorControl(descriptor, &control, &revision) != 0;
    const SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    ok = ok && ::SetSecurityInfo(temp, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    return ok;
}

// Deletes the file of an open handle (opened with DELETE access), whatever its access list says now.
void DeleteByHandle(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    ::SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose);
}

}  // namespace

int ReadFileBytes(const std::string& path, std::uint64_t limit, std::string& out) {
    out.clear();
    const Handle file(::CreateFileW(ToWin32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return WEK_ERR_OPEN;
    // Consoles, pipes and devices are not files.
    if (::GetFileType(file.h) != FILE_TYPE_DISK) return WEK_ERR_OPEN;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.h, &size) || size.QuadPart < 0) return WEK_ERR_READ;

    // The size seen now bounds both the buffer and the reading.
    const std::uint64_t want = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(size.QuadPart));
    if (want > out.max_size()) return WEK_ERR_READ;
    try {
        out.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return WEK_ERR_READ;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, DWORD{1} << 30));
        DWORD got = 0;
        if (!::ReadFile(file.h, out.data() + done, chunk, &got, nullptr)) {
            out.clear();
            return WEK_ERR_READ;
        }
        if (got == 0) break;
        done += got;
    }
    out.resize(done);
    return WEK_OK;
}

int ResolveLinks(const std::string& path, std::string& target) {
    const std::wstring wide = ToWin32Path(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A missing file is created by the save; a missing folder is an error.
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) return WEK_ERR_OPEN;
        target = path;
        return WEK_OK;
    }
    if (!IsLink(wide, attributes)) {
        target = path;
        return WEK_OK;
    }
    // Opening follows every link; a loop or a link to nothing fails here.
    const Handle file(::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) return WEK_ERR_OPEN;
    std::wstring final(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(file.h, final.data(), static_cast<DWORD>(final.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= final.size()) return WEK_ERR_OPEN;
    final.resize(n);
    target = FromWin32Path(final);
    return WEK_OK;
}

bool IsReadOnlyFile(const std::string& path) {
    const std::wstring wide = ToWin32Path(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (attributes & FILE_ATTRIBUTE_READONLY) return true;
    // Opening for writing changes nothing and tells whether the access list allows it.
    const Handle file(::CreateFileW(wide.c_str(), FILE_WRITE_DATA, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.Valid()) return false;
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

int ReplaceFileAtomic(const std::string& path, const std::string& data) {
    const std::wstring wide = ToWin32Path(path);
    WIN32_FILE_ATTRIBUTE_DATA info{};
    const bool exists = ::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &info) != 0;
    if (!exists && ::GetLastError() != ERROR_FILE_NOT_FOUND) return WEK_ERR_WRITE;
    // Never replace a folder or a link (links are resolved by the caller).
    if (exists && ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsLink(wide, info.dwFileAttributes)))
        return WEK_ERR_WRITE;

    // A short name of our own beside the original. The handle stays open to the end: it
    // was opened with DELETE access, so a failed save can always remove the file, whatever
    // access list it was given; FILE_SHARE_DELETE lets the rename below move it meanwhile.
    static std::atomic<unsigned> counter{0};
    const std::string folder = FolderPrefix(path);
    std::wstring temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        temp = ToWin32Path(folder + ".olvsave-" + std::to_string(::GetCurrentProcessId()) + "-" +
                           std::to_string(counter++) + ".tmp");
        if (InjectedFailure(WEK_STAGE_CREATE)) return WEK_ERR_WRITE;
        h = ::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return WEK_ERR_WRITE;
    }
    if (h == INVALID_HANDLE_VALUE) return WEK_ERR_WRITE;
    const Handle file(h);

    bool ok = !InjectedFailure(WEK_STAGE_WRITE) && WriteAll(file.h, data);
    ok = ok && (!exists || (!InjectedFailure(WEK_STAGE_PERMISSIONS) && KeepAttributesAndSecurity(wide, file.h, info)));
    ok = ok && !InjectedFailure(WEK_STAGE_FSYNC) && ::FlushFileBuffers(file.h);
    // One rename replaces the original whole; with write-through it is on disk when it returns.
    ok = ok && !InjectedFailure(WEK_STAGE_RENAME) &&
         ::MoveFileExW(temp.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        DeleteByHandle(file.h);
        return WEK_ERR_WRITE;
    }
    return WEK_OK;
}

}  // namespace wekio
