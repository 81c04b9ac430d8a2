// The real file system on Windows, for the folder walk and the fix pass. Each folder is held
// open (without delete sharing, so that nobody can rename, move or delete it while it is held)
// and its subfolders are opened relative to that handle, never by a path looked up again; a
// folder also holds the folder it was opened in, and the link that led to it, so that the path
// of a held folder leads to it for as long as it is held. Entries are read from the held handle,
// hidden and system entries included; folders are told by FILE_ATTRIBUTE_DIRECTORY (links and
// junctions to folders are folders). Identity: the volume serial number and the 128-bit file id
// (the 64-bit file index where the system has no 128-bit ids), and the creation time.
//
// An elevated process (or one with the backup privilege enabled) follows a symbolic link or
// junction to a folder only when the link belongs to the Administrators group, to the system,
// or to the owner of the folder it leads to.
#pragma once

#include "scan/FileSystem.h"

namespace quorvel::win32 {

class Win32FileSystem : public IFileSystem {
public:
    // `path` is UTF-8 ("D:" is the drive's root).
    OpenedFolder OpenFolder(const std::string& path) override;
};

}  // namespace quorvel::win32
