#include "base/ReplaceFile.h"

#include <algorithm>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "base/WinPath.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace quorvel {

namespace {

// The folder part of `path` with its separator ("" for a bare name).
std::string FolderOf(const std::string& path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("\\/:");
#else
    const std::size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A name for the new file beside `path` that no other process uses: this process's id and a
// counter. The leading dot keeps it out of most folder views for the moment it exists.
std::string TemporaryBeside(const std::string& path) {
    static unsigned counter = 0;
#ifdef _WIN32
    const unsigned long pid = ::GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    char name[64];
    std::snprintf(name, sizeof name, ".quorvel-list-%lu-%u.tmp", pid, ++counter);
    return FolderOf(path) + name;
}

}  // namespace

#ifdef _WIN32

namespace {

std::string LastErrorText() {
    const DWORD error = ::GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", length);
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    if (message.empty()) return "error " + std::to_string(error);
    return win32::Narrow(message);
}

}  // namespace

std::string ReplaceFileContents(const std::string& path, std::string_view bytes) {
    const std::string temporary = TemporaryBeside(path);
    const std::wstring wideTemporary = win32::ToWin32Path(temporary);
    const HANDLE file = ::CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastErrorText();
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        ok = ::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && ::FlushFileBuffers(file);
    std::string error = ok ? std::string() : LastErrorText();
    ::CloseHandle(file);
    if (ok && !::MoveFileExW(wideTemporary.c_str(), win32::ToWin32Path(path).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = LastErrorText();
    if (!error.empty()) ::DeleteFileW(wideTemporary.c_str());
    return error;
}

#else

std::string ReplaceFileContents(const std::string& path, std::string_view bytes) {
    const std::string temporary = TemporaryBeside(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return std::strerror(errno);
    int error = 0;
    for (std::size_t done = 0; !error && done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written > 0) done += static_cast<std::size_t>(written);
        else if (written == 0) error = EIO;
        else if (errno != EINTR) error = errno;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (!error) return {};
    ::unlink(temporary.c_str());
    return std::strerror(error);
}

#endif

}  // namespace quorvel
