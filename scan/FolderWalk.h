// The folder search: walks a folder tree and yields every .olv file beneath it, depth-first and
// pre-order, each folder's entries in the platform's enumeration order (files and subfolders
// interleaved as enumeration returns them), hidden entries included, folder links followed.
// Each folder is walked at most once per search: a folder reached again, by a link or a second
// link to it, is skipped by its identity, which also ends every link loop.
//
// Every folder the walk enters is recorded (its parent, name, identity, and whether a link led
// to it), and each file found names the folder it was found in, so that the fix pass can reach
// the file again through exactly those folders. Every folder that could not be read or was not
// entered is reported with the reason; only folders skipped as already walked go unreported.
//
// The walk runs on a thread of its own, with a few more threads listing the folders it will
// enter next; whatever the timing, the files come out in exactly the order a plain one-folder-
// at-a-time walk gives. Where no thread can be started, the walk runs on the consumer's thread,
// a piece at each Take. Memory and descriptors stay bounded whatever the size of the tree:
// folders are listed only a little ahead of the walk (bounded in folders and in entries), found
// files wait only until the consumer takes them (the walk pauses when too many wait), and only
// as many folders stay open as the process's descriptor limit allows; running out of
// descriptors makes the walk hold fewer, never skip a folder. The walk keeps no stack frame per
// level of folders, and the cost of entering a folder does not depend on how deep it lies.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "filelib/WekFile.h"
#include "scan/FileSystem.h"

namespace quorvel::scan {

inline constexpr std::uint32_t kNoFolder = 0xFFFFFFFFu;

// A folder the walk entered.
struct FolderRecord {
    std::uint32_t parent = kNoFolder;  // the folder it was entered from; kNoFolder for the root
    bool throughLink = false;          // entered through a link at its name in its parent
    bool linkAbove = false;            // it, or a folder above it, was entered through a link
    FileIdentity id;
    std::string name;                  // its name in its parent; for the root, the root's path
};

// The folders one walk entered, in the order it entered them. The walk adds; any thread reads.
class FolderRecords {
public:
    std::uint32_t Add(FolderRecord record);
    // A copy of record `folder` (which must have been added).
    FolderRecord At(std::uint32_t folder) const;
    std::size_t Size() const;

private:
    mutable std::mutex m_mutex;
    std::deque<FolderRecord> m_records;  // elements never move once added
};

// A file the walk found: the path it is listed under, and the folder it was found in.
struct FoundFile {
    std::string path;
    std::uint32_t folder = kNoFolder;
};

// The name of a found file in its folder: the last component of its path.
std::string NameOf(const std::string& path);

// A folder the walk could not read or did not enter, and why.
struct SkippedFolder {
    std::string path;
    FolderProblem problem = FolderProblem::None;
};

// What the walk is about to do, for tests that change the tree at exactly that moment.
enum class WalkStep {
    Entered,    // it entered the folder at `path` and read its entries
    Left,       // it is done with the folder at `path` and has closed it
    Reopening,  // it is about to open the folder at `path` again, to walk its remaining entries
};

struct WalkSettings {
    int listers = 8;                 // threads that list folders ahead of the walk
    std::size_t foldersAhead = 64;   // folders listed or being listed ahead of the walk, at most
    std::size_t entriesAhead = std::size_t{1} << 16;  // entries those folders hold, at most
    std::size_t pathsAhead = 4096;   // found files waiting to be taken, at most (a batch may pass it)
    // Folders on the walk's own path kept open, at most; 0: as many as half the descriptors
    // free when the walk starts allow (the rest are for the probe, the rewrites, the window).
    std::size_t openLevels = 0;
    // Names of files the walk removes where it meets them: by default the temporary files of
    // saves whose process is gone. None when empty. Never in a folder reached through a link.
    std::function<bool(const std::string& name)> isLeftover = WekIsStaleTemporaryName;
    // Called on the walk's thread at each step, for tests.
    std::function<void(WalkStep step, const std::string& path)> onStepForTest;
    // How long destruction waits for a thread stuck in a call (a hung share) before it leaves
    // the thread to end on its own.
    std::chrono::milliseconds stopWait{40};
};

class FolderWalk {
public:
    // Starts walking `root` (a folder path without a trailing separator; "" is the POSIX root).
    // `onFound` is called from the walk's thread whenever files start waiting to be taken and
    // when the walk ends; it must be safe to call from any thread, and is never called once
    // the walk is destroyed.
    FolderWalk(IFileSystem& fs, std::string root, std::function<void()> onFound, WalkSettings settings = {});
    // Stops the walk and waits at most `stopWait` for its threads; threads still inside a
    // call then are left to end on their own, touching nothing of the caller's.
    ~FolderWalk();

    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Appends the files found and not yet taken to `files` in walk order, and the folders
    // skipped since the last call to `skipped`. Returns false once the walk is over and
    // everything has been handed out; true while more may come. Where the walk has no thread
    // of its own, walks a piece of the tree first.
    bool Take(std::vector<FoundFile>& files, std::vector<SkippedFolder>& skipped);
    // Ends the walk soon: no further folder is opened and files not taken are dropped. The
    // walk then reports itself over. Callable from the consuming thread at any time.
    void Stop();

    // The folders entered so far; the records of every file handed out are there.
    std::shared_ptr<const FolderRecords> Records() const;
    // Why the root itself could not be walked (None when it was). Valid once Take returned false.
    FolderProblem RootProblem() const;
    // Descriptors the walk held open at once, at most (folders on its path and listed ahead).
    std::size_t MostFoldersOpen() const;

private:
    struct Core;
    std::shared_ptr<Core> m_core;
};

}  // namespace quorvel::scan
