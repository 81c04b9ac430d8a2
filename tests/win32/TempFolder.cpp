#include "tests/win32/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>

#include "filelib/WekVerify.h"
#include "platform/win32/WinPath.h"

namespace quorvel::test {

using win32::Narrow;
using win32::ToWin32Path;

namespace {

void RemoveTree(const std::wstring& path) {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (::DeleteFileW(path.c_str())) return;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

}  // namespace

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    m_path = Narrow({base, n}) + "quorvel-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(counter++);
    EXPECT_TRUE(::CreateDirectoryW(ToWin32Path(m_path).c_str(), nullptr)) << m_path;
}

TempFolder::~TempFolder() { RemoveTree(ToWin32Path(m_path)); }

std::string TempFolder::Folder(const std::string& rel) const {
    for (std::size_t sep = rel.find('\\'); sep != std::string::npos; sep = rel.find('\\', sep + 1))
        ::CreateDirectoryW(ToWin32Path(Sub(rel.substr(0, sep))).c_str(), nullptr);
    const std::string path = Sub(rel);
    EXPECT_TRUE(::CreateDirectoryW(ToWin32Path(path).c_str(), nullptr)) << path;
    return path;
}

std::string TempFolder::Olv(const std::string& rel, int version, bool fault) const {
    const std::string path = Sub(rel);
    EXPECT_EQ(WekWriteSample(path.c_str(), version, {"alpha", "beta", std::string("\0\xff", 2)}, fault), WEK_OK)
        << path;
    return path;
}

std::string ReadAll(const std::string& path) {
    const HANDLE h = ::CreateFileW(ToWin32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    ::CloseHandle(h);
    return bytes;
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW(ToWin32Path(folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = Narrow(data.cFileName);
        if (name != "." && name != "..") names.insert(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(ToWin32Path(path).c_str()); }

}  // namespace quorvel::test
