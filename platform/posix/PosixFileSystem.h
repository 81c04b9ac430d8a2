// The real file system on POSIX systems, for the folder walk: every folder beneath the root is
// opened by name inside its open parent (openat), so paths of any length and depth work and a
// folder renamed or replaced during the walk cannot lead it elsewhere. Entries come in readdir
// order, hidden ones included; folder links are reported as folders and followed.
#pragma once

#include "scan/FileSystem.h"

namespace quorvel::posix {

class PosixFileSystem : public IFileSystem {
public:
    // Opens `path` ("" is "/") following links; null when it is no folder that can be opened.
    std::unique_ptr<IFolder> OpenFolder(const std::string& path) override;
};

}  // namespace quorvel::posix
