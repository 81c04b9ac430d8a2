// Fixture folders for the Windows tests: a fresh folder under the system's temporary folder,
// removed with everything in it (read-only and long-named entries too) afterwards.
#pragma once

#include <set>
#include <string>

#include "platform/win32/Win32.h"

namespace quorvel::test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, UTF-8, without a trailing separator.
    const std::string& Path() const { return m_path; }
    // Path() + "\" + rel.
    std::string Sub(const std::string& rel) const { return m_path + "\\" + rel; }
    // Creates folder `rel` (with its parents); returns its path.
    std::string Folder(const std::string& rel) const;
    // Writes a valid .olv file of `version` (with the recoverable fault if asked); returns its path.
    std::string Olv(const std::string& rel, int version, bool fault = false) const;

private:
    std::string m_path;
};

// The whole file, or "" when it cannot be read.
std::string ReadAll(const std::string& path);
// The names in `folder`, without the dot entries.
std::set<std::string> Names(const std::string& folder);
// GetFileAttributesW of `path`.
DWORD Attributes(const std::string& path);

}  // namespace quorvel::test
