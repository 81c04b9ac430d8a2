// The small file-system interface the folder walk and the fix pass work on: a folder is opened
// once, by path (the root) or by name inside an open folder (everything beneath it), so a walk
// never looks a path up from the root again and is not led elsewhere by a folder renamed or
// replaced on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvel {

// Identity of a folder on disk: (device, inode) on POSIX, (volume serial, 128-bit file id) on
// Windows, and what tells a folder from a later one given the same number once the first is
// gone (its birth time or generation, where the file system keeps one; 0 where it does not).
// Two names with the same identity lead to the same folder.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t indexHigh = 0;   // the upper half of a 128-bit file id
    std::uint64_t birth = 0;       // creation time in nanoseconds
    std::uint64_t generation = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    // True when a later folder given the same number could not be told from this one.
    bool Weak() const { return birth == 0 && generation == 0; }
};

struct FileIdentityHash {
    std::size_t operator()(const FileIdentity& id) const noexcept {
        std::uint64_t h = id.index * 0x9E3779B97F4A7C15ull ^ id.volume;
        h = (h ^ id.indexHigh) * 0x9E3779B97F4A7C15ull ^ id.birth;
        return std::hash<std::uint64_t>()(h ^ id.generation);
    }
};

// Why a folder was not walked. Every such folder is reported to the user, except NoRoom,
// which asks the caller to hold fewer folders open and try again.
enum class FolderProblem : int {
    None = 0,
    Denied,       // no permission to open or read it
    Unreadable,   // opening or reading it failed otherwise (an I/O error, ...)
    Gone,         // it was removed, or replaced by something that is no folder
    Changed,      // it is no longer the folder that was listed (moved or replaced meanwhile)
    SystemFiles,  // it belongs to a system file system (proc, sysfs, ...): never entered
    LinkOwner,    // a privileged walk does not follow a link that another user owns to it
    TooManyOpen,  // no descriptor was left to open it, even with nothing else held open
    NoRoom,       // out of descriptors now: hold fewer and try again
};

// The reason a folder was not searched, as both front ends show it ("permission denied", ...).
inline const char* FolderProblemText(FolderProblem problem) {
    switch (problem) {
    case FolderProblem::None: return "searched";
    case FolderProblem::Denied: return "permission denied";
    case FolderProblem::Unreadable: return "could not be read";
    case FolderProblem::Gone: return "no longer there";
    case FolderProblem::Changed: return "changed during the search";
    case FolderProblem::SystemFiles: return "a system file system, not searched";
    case FolderProblem::LinkOwner: return "a link owned by another user, not followed";
    case FolderProblem::TooManyOpen:
    case FolderProblem::NoRoom: return "too many open files";
    }
    return "could not be read";
}

// One entry of a folder, as enumeration returns it.
struct FolderEntry {
    std::string name;      // the entry's name without its folder
    bool isFolder = false; // a folder, or a link that leads to one
};

class IFolder;

// How a folder was opened: the folder, or why not.
struct OpenedFolder {
    std::unique_ptr<IFolder> folder;
    FolderProblem problem = FolderProblem::None;  // set when `folder` is null
    bool throughLink = false;                     // the name was a link, and it was followed
};

// Whether opening an entry may follow a link at its name.
enum class Links {
    Follow,  // follow it (a privileged process only when the link belongs to root or to the
             // owner of the folder it leads to; LinkOwner otherwise)
    Refuse,  // a link at the name is not opened (Changed)
};

// A folder opened for the walk. Open folders hold a system handle each; the walk bounds how
// many it keeps.
class IFolder {
public:
    virtual ~IFolder() = default;
    // The folder's identity, read when it was opened.
    virtual FileIdentity Identity() const = 0;
    // Appends the folder's entries to `entries` in the platform's order, hidden and system
    // entries included, the two dot entries left out. None on success; otherwise `entries`
    // holds nothing of it. Called once, by one thread at a time.
    virtual FolderProblem ReadEntries(std::vector<FolderEntry>& entries) = 0;
    // Opens the entry `name` of this folder as a folder; ".." opens the folder's parent (never
    // a link). May be called from several threads at once.
    virtual OpenedFolder OpenFolder(const std::string& name, Links links) = 0;
    // Removes the regular file `name` of this folder, without following a link; false when
    // it is not a regular file or cannot be removed.
    virtual bool RemoveFile(const std::string& name) = 0;
    // The folder's descriptor, for opening its files relative to it (POSIX); -1 where files
    // are reached by path while the folder is held open (Windows).
    virtual int Descriptor() const { return -1; }
};

// Opening the folder a walk starts from.
class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // Opens the folder at `path` ("" is the file-system root on POSIX), following links (the
    // user chose the path).
    virtual OpenedFolder OpenFolder(const std::string& path) = 0;
};

}  // namespace quorvel
