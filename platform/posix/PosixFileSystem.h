// Directory enumeration on POSIX systems: readdir order, hidden entries included,
// folder links reported as folders, paths of any length.
#pragma once

#include "scan/FileSystem.h"

namespace quorvel::posix {

class PosixFileSystem : public IFileSystem {
public:
    // Reads the folder's entries at once and closes it again, so that a deep walk holds
    // no descriptor per level. Null when the folder cannot be opened or read.
    std::unique_ptr<IFolderEnum> OpenFolder(const std::string& folder) override;
};

}  // namespace quorvel::posix
