// The real file system on POSIX systems, for the folder walk and the fix pass: every folder
// beneath the root is opened by name inside its open parent (openat), so paths of any length
// and depth work and a folder renamed or replaced during the walk cannot lead it elsewhere.
// Entries come in readdir order, hidden ones included; folder links are reported as folders.
//
// What is never entered: folders of system file systems (proc, sysfs, devtmpfs, cgroup, debugfs,
// tracefs, securityfs, ...), whose entries are the system's state rather than files; and, in a
// privileged process (root, or one that may bypass permission checks), a folder link that leads
// there through any link (itself or one met on the way) that belongs neither to root nor to the
// owner of the folder it leads to, so that a user who can write into the tree cannot lead such a
// process into folders only it may read. A folder link is followed one step at a time, and never
// through a system file system.
#pragma once

#include "scan/FileSystem.h"

namespace quorvel::posix {

class PosixFileSystem : public IFileSystem {
public:
    // Opens `path` ("" is "/") following links. Each call starts a new walk: whether the
    // process is privileged and where the system file systems are mounted are read now.
    OpenedFolder OpenFolder(const std::string& path) override;
};

// True for root and for a process that may read or write files regardless of their permissions
// (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER).
bool MayBypassPermissions();

}  // namespace quorvel::posix
