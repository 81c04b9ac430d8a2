// The small file-system interface the folder search walks: folders opened by path, their
// entries in the platform's order, and each folder's identity for recognising links.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quorvel {

// Identity of a folder on disk: (device, inode) on POSIX, (volume serial, file index) on Windows.
struct FolderIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FolderIdentity&, const FolderIdentity&) = default;
};

// One entry of a folder, as enumeration returns it.
struct FolderEntry {
    std::string name;     // the entry's name without its folder
    bool isFolder = false;// a folder, or a link that leads to one
};

// An open enumeration of one folder, in the platform's order, hidden and system entries included.
class IFolderEnum {
public:
    virtual ~IFolderEnum() = default;
    // Identity of the enumerated folder, for recognising link loops.
    virtual FolderIdentity Identity() const = 0;
    // Stores the next entry in `entry`; false when none is left.
    virtual bool Next(FolderEntry& entry) = 0;
};

// Directory enumeration.
class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // Opens `folder` ("" is the file-system root on POSIX) for enumeration; null when it
    // cannot be read (missing, no permission, not a folder).
    virtual std::unique_ptr<IFolderEnum> OpenFolder(const std::string& folder) = 0;
};

// True for the two dot entries, the folder itself and its parent.
inline bool IsDots(const std::string& name) { return name == "." || name == ".."; }

}  // namespace quorvel
