// The real file system on Windows, for the folder walk, with the wide Win32 find API: hidden and
// system entries included, folders told by FILE_ATTRIBUTE_DIRECTORY (links and junctions to
// folders are folders), identity from the volume serial and file index. Windows has no
// folder-relative opens in its documented API, so a folder is reached by its path; paths of any
// length work through the \\?\ form.
#pragma once

#include "scan/FileSystem.h"

namespace quorvel::win32 {

class Win32FileSystem : public IFileSystem {
public:
    // `path` is UTF-8 ("D:" is the drive's root). Null when it is no folder that can be opened.
    // The folder holds no system handle while open: it is enumerated by path when read.
    std::unique_ptr<IFolder> OpenFolder(const std::string& path) override;
};

}  // namespace quorvel::win32
