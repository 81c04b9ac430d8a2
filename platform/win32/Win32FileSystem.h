// Directory enumeration with the wide Win32 find API: hidden and system entries included,
// folders told by FILE_ATTRIBUTE_DIRECTORY, identity from the volume serial and file index.
#pragma once

#include "scan/FileSystem.h"

namespace quorvel::win32 {

class Win32FileSystem : public IFileSystem {
public:
    // Reads the whole folder and closes its find handle before returning, so that a deep walk
    // holds no handle per level. `folder` is UTF-8 of any length ("D:" is the drive's root).
    // Null when the folder cannot be opened or is not a folder.
    std::unique_ptr<IFolderEnum> OpenFolder(const std::string& folder) override;
};

}  // namespace quorvel::win32
