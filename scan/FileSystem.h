// The small file-system interface the folder walk works on: a folder is opened once, by path
// (the root) or by name inside an open folder (everything beneath it), so a walk never looks a
// path up from the root again and is not led elsewhere by a folder renamed or replaced on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvel {

// Identity of a file or folder on disk: (device, inode) on POSIX, (volume serial, file index)
// on Windows. Two names with the same identity lead to the same folder.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileIdentityHash {
    std::size_t operator()(const FileIdentity& id) const noexcept {
        return std::hash<std::uint64_t>()(id.index * 0x9E3779B97F4A7C15ull ^ id.volume);
    }
};

// One entry of a folder, as enumeration returns it.
struct FolderEntry {
    std::string name;      // the entry's name without its folder
    bool isFolder = false; // a folder, or a link that leads to one
};

// A folder opened for the walk. Open folders hold a system handle each; the walk bounds how
// many it keeps.
class IFolder {
public:
    virtual ~IFolder() = default;
    // The folder's identity, read when it was opened.
    virtual FileIdentity Identity() const = 0;
    // Appends the folder's entries to `entries` in the platform's order, hidden and system
    // entries included, the two dot entries left out. False when the folder could not be read;
    // `entries` then holds nothing of it. Called once, by the thread that opened the folder.
    virtual bool ReadEntries(std::vector<FolderEntry>& entries) = 0;
    // Opens the entry `name` of this folder as a folder, following a link; ".." opens the
    // folder's parent. Null when it cannot be opened or is not a folder. May be called from
    // several threads at once.
    virtual std::unique_ptr<IFolder> OpenFolder(const std::string& name) = 0;
    // Removes the regular file `name` of this folder, without following a link; false when
    // it is not a regular file or cannot be removed.
    virtual bool RemoveFile(const std::string& name) = 0;
};

// Opening the folder a walk starts from.
class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // Opens the folder at `path` ("" is the file-system root on POSIX), following links;
    // null when it cannot be opened (missing, no permission, not a folder).
    virtual std::unique_ptr<IFolder> OpenFolder(const std::string& path) = 0;
};

}  // namespace quorvel
