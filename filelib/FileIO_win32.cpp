// FileIO.h on Windows, with the wide file API. Paths are UTF-8 of any length; long ones reach
// the system in the \\?\ form. Load keeps the final path of the file it read and that file's
// identity (volume serial number and file index); Save opens that path without following a
// link at its end and checks the identity before it replaces anything.
#include "filelib/FileIO.h"

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "base/WinPath.h"

namespace wekio {

// A file's identity on Windows: its volume and its index on that volume.
struct FileIdentity {
    DWORD volume = 0;
    ULONGLONG index = 0;
    bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
};

// Closes the handle when it goes out of scope.
class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : h(handle) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (Valid()) ::CloseHandle(h);
        h = handle;
    }
    HANDLE h;
};

// What a change to a file alters: its size, last-write time and change time.
struct Stamp {
    ULONGLONG size = 0;
    LONGLONG lastWrite = 0;
    LONGLONG change = 0;
    bool operator==(const Stamp& other) const {
        return size == other.size && lastWrite == other.lastWrite && change == other.change;
    }
};

struct LoadedFile {
    std::wstring path;  // the file's path, links resolved, in the form the wide API takes
    FileIdentity identity;
    Stamp loaded;       // as it was when it was opened: a change since fails the save
    // The file, kept open until it is replaced, without sharing delete access: no other
    // program can delete or rename it meanwhile, and its index cannot pass to another file
    // (Wine's file index is the inode number, which Linux reuses at once).
    Handle pin;
};

void LoadedFileDeleter::operator()(LoadedFile* file) const { delete file; }

namespace {

using quorvel::win32::FromWin32Path;
using quorvel::win32::ToWin32Path;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = kShareReadWrite | FILE_SHARE_DELETE;
constexpr std::size_t kChunk = std::size_t{1} << 20;

// What a save carries over from the original besides its security. Compression, sparseness,
// encryption and the like describe how the old bytes were stored; read-only files are never
// rewritten. The archive bit is set: the file has changed since its last backup.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// True when the test seam wants `stage` to fail; sets the last error like a failed call would.
bool Injected(WekSaveStage stage) {
    if (!SaveFailsForTest(stage)) return false;
    ::SetLastError(ERROR_WRITE_FAULT);
    return true;
}

// Wine's ReplaceFileW moves the original away and deletes it before it moves the new file in,
// and keeps none of the original's attributes; a single rename is the safer way there.
bool RunningOnWine() {
    static const bool wine = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool UseReplaceFile() { return ReplaceFileForTest() || !RunningOnWine(); }

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

bool WriteAll(HANDLE h, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, DWORD{1} << 30));
        DWORD written = 0;
        if (!::WriteFile(h, data + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

bool Rewind(HANDLE h) {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) != 0;
}

// Reads exactly `size` bytes at `offset` of `h`; false on an error or at the end of the file.
bool ReadHandleAt(HANDLE h, std::uint64_t offset, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, DWORD{1} << 30));
        DWORD got = 0;
        if (!::ReadFile(h, buffer + done, chunk, &got, &at) || got == 0) return false;
        done += got;
    }
    return true;
}

bool SizeOf(HANDLE h, std::uint64_t& size) {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(h, &value) || value.QuadPart < 0) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

// The stamp of the open file `h` (opened with at least FILE_READ_ATTRIBUTES).
bool StampOf(HANDLE h, Stamp& stamp) {
    FILE_BASIC_INFO basic{};
    std::uint64_t size = 0;
    if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) || !SizeOf(h, size)) return false;
    stamp.size = size;
    stamp.lastWrite = basic.LastWriteTime.QuadPart;
    stamp.change = basic.ChangeTime.QuadPart;
    return true;
}

// True when the open file `h` still shows `stamp`: nothing wrote to it or changed it since.
bool Unchanged(HANDLE h, const Stamp& stamp) {
    Stamp now;
    return StampOf(h, now) && now == stamp;
}

// True when the open files `a` and `b` hold the same bytes.
bool SameContent(HANDLE a, HANDLE b, std::vector<char>& buffer) {
    std::uint64_t sizeA = 0, sizeB = 0;
    if (!SizeOf(a, sizeA) || !SizeOf(b, sizeB) || sizeA != sizeB) return false;
    const std::size_t half = buffer.size() / 2;
    for (std::uint64_t done = 0; done < sizeA;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(half, sizeA - done));
        if (!ReadHandleAt(a, done, buffer.data(), n) || !ReadHandleAt(b, done, buffer.data() + half, n) ||
            std::memcmp(buffer.data(), buffer.data() + half, n) != 0)
            return false;
        done += n;
    }
    return true;
}

// Writes `content` into `h` from its start (the file pointer moves to its end).
bool WriteContent(HANDLE h, const Content& content) {
    return Rewind(h) && content.Produce([&](const char* data, std::size_t size) { return WriteAll(h, data, size); });
}

// The test seam: damages the written file `h` as asked, before it is read back.
void DamageForTestIfAsked(HANDLE h, std::uint64_t size) {
    const std::int64_t offset = DamageForTest();
    if (offset == -2 && size > 0) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(size - 1);
        if (::SetFilePointerEx(h, end, nullptr, FILE_BEGIN)) ::SetEndOfFile(h);
    } else if (offset >= 0 && static_cast<std::uint64_t>(offset) < size) {
        char byte = 0;
        if (ReadHandleAt(h, static_cast<std::uint64_t>(offset), &byte, 1)) {
            byte = static_cast<char>(byte ^ 0x20);
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
            DWORD written = 0;
            ::WriteFile(h, &byte, 1, &written, &at);
        }
    }
}

// Reads the written file `h` back: WEK_OK when it decodes to exactly `content`.
int ReadBack(HANDLE h, const Content& content) {
    if (SkipReadBackForBench()) return WEK_OK;
    std::uint64_t size = 0;
    if (!SizeOf(h, size)) return WEK_ERR_READ_BACK;
    return content.ReadsBack(size, [h](std::uint64_t offset, char* buffer, std::size_t n) { return ReadHandleAt(h, offset, buffer, n); })
               ? WEK_OK
               : WEK_ERR_READ_BACK;
}

// Copies all of `from` over `to`, both from their start, and ends `to` there.
bool CopyContent(HANDLE from, HANDLE to) {
    if (!Rewind(from) || !Rewind(to)) return false;
    std::vector<char> buffer(kChunk);
    while (true) {
        DWORD got = 0;
        if (!::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
        if (got == 0) break;
        if (!WriteAll(to, buffer.data(), got)) return false;
    }
    return ::SetEndOfFile(to) != 0;
}

// The folder part of a Win32 path, with its separator ("" for a bare name).
std::wstring FolderPrefix(const std::wstring& path) {
    const std::size_t sep = path.find_last_of(L"\\/");
    if (sep != std::wstring::npos) return path.substr(0, sep + 1);
    // "C:name" is relative to the current folder of drive C.
    if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2);
    return {};
}

std::wstring LeafName(const std::wstring& path) { return path.substr(FolderPrefix(path).size()); }

// The identity, attributes and link count of an open file.
bool Describe(HANDLE h, FileIdentity& id, DWORD& attributes, DWORD& links) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    attributes = info.dwFileAttributes;
    links = info.nNumberOfLinks;
    return true;
}

// Opens `path` itself, never a link's target, with `access` and `share`. The result is the
// file of identity `id` (a plain file, not a folder or link), or WEK_ERR_CHANGED when the
// name now holds something else or nothing.
int OpenTheSameFile(const std::wstring& path, const FileIdentity& id, DWORD access, DWORD share, Handle& file,
                    DWORD* links = nullptr) {
    file.Reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return WEK_ERR_CHANGED;
        if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT || error == ERROR_SHARING_VIOLATION)
            return WEK_ERR_READ_ONLY;
        return WEK_ERR_WRITE;
    }
    FileIdentity now;
    DWORD attributes = 0, count = 0;
    if (!Describe(file.h, now, attributes, count)) return WEK_ERR_WRITE;
    if (!(now == id) || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) return WEK_ERR_CHANGED;
    if (links) *links = count;
    return WEK_OK;
}

// True when the name `path` still holds the file of identity `id`.
bool StillTheSameFile(const std::wstring& path, const FileIdentity& id) {
    Handle file;
    return OpenTheSameFile(path, id, FILE_READ_ATTRIBUTES, kShareAll, file) == WEK_OK;
}

bool IsReadOnly(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (attributes & FILE_ATTRIBUTE_READONLY) return true;
    // Opening for writing changes nothing and tells whether the access list allows it.
    const Handle file(::CreateFileW(path.c_str(), FILE_WRITE_DATA, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.Valid()) return false;
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

// Gives `temp` the attributes, creation time and access control list of `original`.
bool KeepAttributesAndSecurity(const std::wstring& original, HANDLE temp) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExW(original.c_str(), GetFileExInfoStandard, &info)) return false;
    FILE_BASIC_INFO basic{};  // zero times stay as they are
    basic.CreationTime.LowPart = info.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(info.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = (info.dwFileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    if (!::SetFileInformationByHandle(temp, FileBasicInfo, &basic, sizeof basic)) return false;

    // The access list is copied as it is, with its protection from inheritance. The owner
    // becomes the saver, as with any rewrite; keeping it would need restore privileges.
    const Handle source(::CreateFileW(original.c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
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
bool DeleteByHandle(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

// The status for a new file the folder refused: a folder that takes no new file can take
// neither a temporary file nor a backup copy.
int RefusedNewFile(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT || error == ERROR_DISK_FULL ||
                   error == ERROR_HANDLE_DISK_FULL
               ? WEK_ERR_NO_COPY
               : WEK_ERR_WRITE;
}

// Creates a temporary file of ours in `folder` (a Win32 path prefix). Its handle has DELETE
// access, so that a failed save can always remove it, whatever access list it was given.
bool CreateTemporary(const std::wstring& folder, std::wstring& temp, Handle& file) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = folder + quorvel::win32::Widen(".olvsave-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                              std::to_string(counter++) + ".tmp");
        if (Injected(WEK_STAGE_CREATE)) return false;
        file.Reset(::CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Valid()) return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// A security descriptor for a backup copy: the original's access list, protected from what the
// folder would pass on, so that the copy is never open to anyone the original is closed to.
class CopySecurity {
public:
    explicit CopySecurity(HANDLE original) {
        if (::GetSecurityInfo(original, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &m_dacl, nullptr,
                              &m_source) != ERROR_SUCCESS)
            return;
        m_ok = ::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorDacl(&m_descriptor, TRUE, m_dacl, FALSE) &&
               ::SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        m_attributes.nLength = sizeof m_attributes;
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_attributes.bInheritHandle = FALSE;
    }
    ~CopySecurity() { ::LocalFree(m_source); }
    CopySecurity(const CopySecurity&) = delete;
    CopySecurity& operator=(const CopySecurity&) = delete;
    // Null when the original's access list could not be read.
    SECURITY_ATTRIBUTES* Attributes() { return m_ok ? &m_attributes : nullptr; }

private:
    PACL m_dacl = nullptr;
    PSECURITY_DESCRIPTOR m_source = nullptr;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
    bool m_ok = false;
};

// Creates the backup copy `copyPath` of the open file `file`, given the original's access list
// as it is created, never over anything. An earlier copy still there may be the only good
// content the user has: it is removed only when it holds exactly what the file holds now (its
// bytes, or the records it was loaded with).
int CreateCopy(const std::wstring& copyPath, HANDLE file, const Content& content, std::vector<char>& buffer,
               Handle& copy) {
    CopySecurity security(file);
    if (!security.Attributes()) return WEK_ERR_NO_COPY;
    for (int attempt = 0; attempt < 2; ++attempt) {
        copy.Reset(::CreateFileW(copyPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                 security.Attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (copy.Valid()) return WEK_OK;
        const DWORD error = ::GetLastError();
        if (attempt > 0 || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) return WEK_ERR_NO_COPY;
        Handle earlier(::CreateFileW(copyPath.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        std::uint64_t size = 0;
        const bool same = earlier.Valid() && SizeOf(earlier.h, size) &&
            (SameContent(earlier.h, file, buffer) ||
             content.HoldsTheLoadedRecords(size, [&](std::uint64_t offset, char* data, std::size_t n) {
                 return ReadHandleAt(earlier.h, offset, data, n);
             }));
        if (!same || Injected(WEK_STAGE_CLEAN_UP) || !DeleteByHandle(earlier.h)) return WEK_ERR_NO_COPY;
    }
    return WEK_ERR_NO_COPY;
}

// Rewrites `path` (identity `id`, stamp `stamp` when it was loaded) in place, so that it keeps
// its file index and with it every hard link: a flushed copy of the original lies beside it
// while it is being overwritten.
int RewriteInPlace(const std::wstring& path, const FileIdentity& id, const Stamp& stamp, const Content& content) {
    std::vector<char> buffer;
    try {
        buffer.resize(2 * kChunk);
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
    }
    // No one else may write, rename or delete the file while it is rewritten.
    Handle file;
    const int opened = OpenTheSameFile(path, id, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, file);
    if (opened != WEK_OK) return opened;
    if (!Unchanged(file.h, stamp)) return WEK_ERR_CHANGED;
    const std::wstring copyPath = FolderPrefix(path) +
        quorvel::win32::Widen(WekBackupCopyName(quorvel::win32::Narrow(LeafName(path))));
    Handle copy;
    if (const int status = CreateCopy(copyPath, file.h, content, buffer, copy); status != WEK_OK) return status;
    if (!CopyContent(file.h, copy.h) || Injected(WEK_STAGE_COPY) || !::FlushFileBuffers(copy.h)) {
        DeleteByHandle(copy.h);
        return WEK_ERR_NO_COPY;
    }
    // The last checks before the file is written: nothing else wrote to it meanwhile.
    ReachedForTest(WEK_STAGE_OVERWRITE);
    if (!Unchanged(file.h, stamp)) {
        DeleteByHandle(copy.h);
        return WEK_ERR_CHANGED;
    }
    int status = WEK_OK;
    if (Injected(WEK_STAGE_REFUSED)) {
        status = WEK_ERR_WRITE;
    } else if (SaveFailsForTest(WEK_STAGE_OVERWRITE)) {
        // Fails as a full disk would: halfway through.
        std::uint64_t left = content.Size() / 2;
        if (Rewind(file.h))
            content.Produce([&](const char* data, std::size_t size) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
                WriteAll(file.h, data, n);
                left -= n;
                return left > 0;
            });
        status = WEK_ERR_WRITE;
    } else if (!WriteContent(file.h, content) || !::SetEndOfFile(file.h)) {
        status = WEK_ERR_WRITE;
    } else {
        DamageForTestIfAsked(file.h, content.Size());
        status = ::FlushFileBuffers(file.h) ? ReadBack(file.h, content) : WEK_ERR_WRITE;
    }
    if (status == WEK_OK) return !Injected(WEK_STAGE_CLEAN_UP) && DeleteByHandle(copy.h) ? WEK_OK : WEK_ERR_COPY_LEFT;
    // Put the original back from the copy; the copy goes only when the file is whole again.
    const bool restored = !Injected(WEK_STAGE_RESTORE) && CopyContent(copy.h, file.h) && ::FlushFileBuffers(file.h);
    if (!restored && !SameContent(copy.h, file.h, buffer)) return WEK_ERR_SEE_COPY;
    DeleteByHandle(copy.h);
    return status;
}

// Replaces `path`, which must still hold the file `id` unchanged since `stamp` was taken, with a
// new file of content `content` written beside it and read back: by ReplaceFileW, which keeps
// the original's security, attributes and named streams, or by one rename after the new file
// was given the original's attributes and access list. `pin`, the original held open, is closed
// once it is checked, just before the replacing, which an open original would stop.
int ReplaceWithNewFile(const std::wstring& path, const FileIdentity& id, const Stamp& stamp, const Content& content,
                       Handle& pin) {
    std::wstring temp;
    Handle file;
    if (!CreateTemporary(FolderPrefix(path), temp, file)) return RefusedNewFile(::GetLastError());
    const auto discard = [&] {
        if (!file.Valid()) file.Reset(::CreateFileW(temp.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!DeleteByHandle(file.h)) ::DeleteFileW(temp.c_str());
        file.Reset();
    };
    bool ok = !Injected(WEK_STAGE_WRITE) && WriteContent(file.h, content);
    if (ok) DamageForTestIfAsked(file.h, content.Size());
    // Also before ReplaceFileW: where it keeps less (Wine, some network file systems), the new
    // file has what the original had all the same.
    ok = ok && !Injected(WEK_STAGE_PERMISSIONS) && KeepAttributesAndSecurity(path, file.h);
    ok = ok && !Injected(WEK_STAGE_FSYNC) && ::FlushFileBuffers(file.h);
    if (!ok) {
        discard();
        return WEK_ERR_WRITE;
    }
    if (const int status = ReadBack(file.h, content); status != WEK_OK) {
        discard();
        return status;
    }
    // The last checks: the name still holds the loaded file, and nothing changed it since.
    const auto checked = [&] {
        ReachedForTest(WEK_STAGE_RENAME);
        if (!StillTheSameFile(path, id)) return WEK_ERR_CHANGED;
        if (pin.Valid() && !Unchanged(pin.h, stamp)) return WEK_ERR_CHANGED;
        return WEK_OK;
    };
    if (UseReplaceFile()) {
        // ReplaceFileW opens the new file itself, alone.
        file.Reset();
        if (const int status = checked(); status != WEK_OK) {
            discard();
            return status;
        }
        pin.Reset();
        if (!Injected(WEK_STAGE_REPLACE_FILE) &&
            ::ReplaceFileW(path.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return WEK_OK;
        if (::GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            // The original is gone and the new file, complete and flushed, kept its name.
            if (::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return WEK_OK;
            return WEK_ERR_WRITE;
        }
        // Otherwise both kept their names: fall back to one rename.
        file.Reset(::CreateFileW(temp.c_str(), GENERIC_READ | DELETE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file.Valid()) {
            ::DeleteFileW(temp.c_str());
            return WEK_ERR_WRITE;
        }
    }
    // With write-through the rename is on disk when MoveFileExW returns.
    if (const int status = checked(); status != WEK_OK) {
        discard();
        return status;
    }
    pin.Reset();
    if (Injected(WEK_STAGE_RENAME) ||
        !::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        discard();
        return WEK_ERR_WRITE;
    }
    return WEK_OK;
}

// Gives the existing file `path` (identity `id`, held open as `pin`, stamp `stamp` when it was
// loaded) the content `content`, keeping its hard links.
int Rewrite(const std::wstring& path, const FileIdentity& id, const Stamp& stamp, const Content& content, Handle& pin) {
    if (IsReadOnly(path)) return WEK_ERR_READ_ONLY;
    if (pin.Valid() && !Unchanged(pin.h, stamp)) return WEK_ERR_CHANGED;
    DWORD links = 1;
    {
        Handle file;
        const int opened = OpenTheSameFile(path, id, FILE_READ_ATTRIBUTES, kShareAll, file, &links);
        if (opened != WEK_OK) return opened;
    }
    // A new file would leave the other names of the file with the old content.
    return links > 1 ? RewriteInPlace(path, id, stamp, content) : ReplaceWithNewFile(path, id, stamp, content, pin);
}

// Follows a link at the end of `path` to the file it leads to, by opening it. `wide` becomes
// the final path and `throughLink` tells whether a link was followed. WEK_ERR_OPEN for a link
// that leads nowhere, a loop, or a folder that cannot be opened.
int ResolveLink(const std::string& path, std::wstring& wide, bool& throughLink, bool& exists) {
    wide = ToWin32Path(path);
    throughLink = false;
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? WEK_OK : WEK_ERR_OPEN;
    if (!IsLink(wide, attributes)) return WEK_OK;
    throughLink = true;
    const Handle file(::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) {
        exists = false;
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? WEK_OK : WEK_ERR_OPEN;
    }
    std::wstring final(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(file.h, final.data(), static_cast<DWORD>(final.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= final.size()) return WEK_ERR_OPEN;
    final.resize(n);
    wide = ToWin32Path(FromWin32Path(final));
    return WEK_OK;
}

}  // namespace

int ReadFile(const std::string& path, std::uint64_t limit, std::string& out) {
    out.clear();
    const std::wstring wide = ToWin32Path(path);
    Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr));
    if (!file.Valid()) return WEK_ERR_OPEN;
    // Consoles, pipes and devices are not files.
    if (::GetFileType(file.h) != FILE_TYPE_DISK) return WEK_ERR_OPEN;
    std::uint64_t size = 0;
    if (!SizeOf(file.h, size)) return WEK_ERR_READ;
    // The size seen now bounds both the buffer and the reading.
    const std::uint64_t want = std::min<std::uint64_t>(limit, size);
    if (want > out.max_size()) return WEK_ERR_NO_MEMORY;
    try {
        out.resize(static_cast<std::size_t>(want));
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
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

int OpenFile(const std::string& path, LoadedFilePtr& keep) {
    const std::wstring wide = ToWin32Path(path);
    Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return WEK_ERR_OPEN;
    // Consoles, pipes and devices are not files.
    if (::GetFileType(file.h) != FILE_TYPE_DISK) return WEK_ERR_OPEN;
    // What the save needs: the identity and stamp of the file read, and the path that names it
    // without a link (the handle tells where a link led).
    DWORD attributes = 0, links = 0;
    try {
        LoadedFilePtr kept(new LoadedFile);
        if (!Describe(file.h, kept->identity, attributes, links) || !StampOf(file.h, kept->loaded)) return WEK_ERR_OPEN;
        kept->path = wide;
        const DWORD own = ::GetFileAttributesW(wide.c_str());
        if (own != INVALID_FILE_ATTRIBUTES && IsLink(wide, own)) {
            std::wstring final(32768, L'\0');
            const DWORD n = ::GetFinalPathNameByHandleW(file.h, final.data(), static_cast<DWORD>(final.size()),
                                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (n == 0 || n >= final.size()) return WEK_ERR_OPEN;
            final.resize(n);
            kept->path = ToWin32Path(FromWin32Path(final));
        }
        kept->pin.Reset(file.h);
        file.h = INVALID_HANDLE_VALUE;
        keep = std::move(kept);
    } catch (const std::exception&) {
        return WEK_ERR_NO_MEMORY;
    }
    return WEK_OK;
}

std::uint64_t LoadedSize(const LoadedFile& file) { return file.loaded.size; }

bool ReadLoaded(const LoadedFile& file, std::uint64_t offset, char* buffer, std::size_t size) {
    return ReadHandleAt(file.pin.h, offset, buffer, size);
}

int SaveLoaded(LoadedFile& file, const Content& content) {
    const int status = Rewrite(file.path, file.identity, file.loaded, content, file.pin);
    const bool inPlace = file.pin.Valid();
    if (status != WEK_OK && status != WEK_ERR_COPY_LEFT) return status;
    // The name now holds the new content (a new file, or the same file rewritten): a later save
    // checks against that.
    if (!inPlace) {
        file.pin.Reset(::CreateFileW(file.path.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        DWORD attributes = 0, links = 0;
        if (file.pin.Valid()) Describe(file.pin.h, file.identity, attributes, links);
    }
    if (file.pin.Valid()) StampOf(file.pin.h, file.loaded);
    return status;
}

int SaveToPath(const std::string& path, const Content& content) {
    std::wstring wide;
    bool throughLink = false, exists = false;
    if (ResolveLink(path, wide, throughLink, exists) != WEK_OK) return WEK_ERR_WRITE;
    if (!exists) {
        // A link that leads nowhere could make us create a file wherever its owner chose.
        if (throughLink) return WEK_ERR_WRITE;
        std::wstring temp;
        Handle file;
        if (!CreateTemporary(FolderPrefix(wide), temp, file)) return RefusedNewFile(::GetLastError());
        bool ok = !Injected(WEK_STAGE_WRITE) && WriteContent(file.h, content);
        if (ok) DamageForTestIfAsked(file.h, content.Size());
        ok = ok && !Injected(WEK_STAGE_FSYNC) && ::FlushFileBuffers(file.h);
        const int read = ok ? ReadBack(file.h, content) : WEK_ERR_WRITE;
        // Without MOVEFILE_REPLACE_EXISTING the move fails if the name appeared meanwhile.
        if (read == WEK_OK && !Injected(WEK_STAGE_RENAME) && ::MoveFileExW(temp.c_str(), wide.c_str(), MOVEFILE_WRITE_THROUGH))
            return WEK_OK;
        DeleteByHandle(file.h);
        return read == WEK_OK ? WEK_ERR_WRITE : read;
    }
    Handle file(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FileIdentity id;
    Stamp stamp;
    DWORD attributes = 0, links = 0;
    if (!file.Valid() || !Describe(file.h, id, attributes, links) || !StampOf(file.h, stamp)) return WEK_ERR_WRITE;
    // Never replace a folder or a link.
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return WEK_ERR_WRITE;
    return Rewrite(wide, id, stamp, content, file);
}

bool LookAtFile(int, const std::string&, const std::string& path, FileFacts& facts) {
    facts = {};
    // Attributes only: no sharing mode of another program's is in the way.
    const HANDLE h = ::CreateFileW(ToWin32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool file =
        ::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (file) {
        facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        facts.identified = true;
        facts.volume = info.dwVolumeSerialNumber;
        facts.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        // 128-bit ids (ReFS) and 64-bit volume serials where the system gives them.
        FILE_ID_INFO ids{};
        if (::GetFileInformationByHandleEx(h, FileIdInfo, &ids, sizeof ids)) {
            facts.volume = ids.VolumeSerialNumber;
            static_assert(sizeof ids.FileId.Identifier == 16);
            std::memcpy(&facts.index, ids.FileId.Identifier, 8);
            std::memcpy(&facts.indexHigh, ids.FileId.Identifier + 8, 8);
        }
    }
    ::CloseHandle(h);
    return file;
}

bool ProcessIsGone(std::uint64_t pid) {
    if (pid == 0 || pid > 0xFFFFFFFFu) return false;
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return ::GetLastError() == ERROR_INVALID_PARAMETER;
    // A process that has ended but whose handle someone still holds is gone too.
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

}  // namespace wekio
