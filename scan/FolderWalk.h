// The folder search: walks a folder tree and yields the path of every .olv file beneath it,
// depth-first and pre-order, each folder's entries in the platform's enumeration order (files and
// subfolders interleaved as enumeration returns them), hidden entries included, folder links
// followed. Each folder is walked at most once per search: a folder reached again, by a link or
// a second link to it, is skipped by its identity, which also ends every link loop.
//
// The walk runs on a thread of its own, with a few more threads listing the folders it will
// enter next; whatever the timing, the paths come out in exactly the order a plain one-folder-
// at-a-time walk gives. Memory stays bounded whatever the size of the tree: folders are listed
// only a little ahead of the walk, found paths wait only until the consumer takes them (the walk
// pauses when too many wait), and only the folders near the walk's position stay open. The
// walk keeps no stack frame per level of folders, and the cost of entering a folder does not
// depend on how deep it lies: every folder is opened by name inside its open parent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "filelib/WekFile.h"
#include "scan/FileSystem.h"

namespace quorvel::scan {

struct WalkSettings {
    int listers = 8;                 // threads that list folders ahead of the walk
    std::size_t foldersAhead = 64;   // folders listed or being listed ahead of the walk, at most
    std::size_t pathsAhead = 4096;   // found paths waiting to be taken, at most (a batch may pass it)
    std::size_t openLevels = 64;     // folders on the walk's own path kept open, at most
    // Names of files the walk removes where it meets them: by default the temporary files of
    // saves whose process is gone. None when empty.
    std::function<bool(const std::string& name)> isLeftover = WekIsStaleTemporaryName;
};

class FolderWalk {
public:
    // Starts walking `root` (a folder path without a trailing separator; "" is the POSIX root).
    // `onFound` is called from the walk's thread whenever paths start waiting to be taken and
    // when the walk ends; it must be safe to call from any thread.
    FolderWalk(IFileSystem& fs, std::string root, std::function<void()> onFound,
               WalkSettings settings = {});
    // Stops the walk and waits for its threads.
    ~FolderWalk();

    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Appends the paths found and not yet taken to `out`, in walk order. Returns false once the
    // walk is over and every path has been handed out; true while more may come.
    bool Take(std::vector<std::string>& out);
    // Ends the walk soon: no further folder is opened and paths not taken are dropped. The walk
    // then reports itself over. Callable from the consuming thread at any time.
    void Stop();

    // Whether the root itself could not be opened and read. Valid once Take returned false.
    bool RootUnreadable() const { return m_rootUnreadable; }

private:
    struct Node;
    struct Listing;

    void Run();
    bool Descend(Node& parent, Node& child);
    void Ascend();
    void Reopen(Node& level, Node& leftChild);
    void Release(std::unique_ptr<Node> node);
    void ListNow(Node& parent, Node& child);
    static void ListOne(Listing& listing);
    void Integrate();
    void Apply(Listing& listing);
    void AddSubfolders(Node& node);
    void Prefetch();
    void Request(Node& node, Node& parent);
    void PrefetchBelow(Node& node, std::size_t from, std::size_t budget, std::size_t& scanned,
                       std::vector<std::pair<Node*, Node*>>& candidates);
    void Emit(const std::string& name);
    void Publish();
    void List();
    void Finish();

    IFileSystem& m_fs;
    const std::string m_root;
    const std::function<void()> m_onFound;
    const WalkSettings m_settings;

    // Owned by the walk thread alone.
    std::unique_ptr<Node> m_top;
    std::vector<Node*> m_stack;      // the folders the walk is inside, outermost first
    std::string m_path;              // the path of the innermost of them
    std::vector<std::string> m_unpublished;  // found, not yet handed to the consumer
    std::unordered_set<FileIdentity, FileIdentityHash> m_visited;
    std::size_t m_ahead = 0;         // folders requested ahead of the walk and not entered yet
    std::chrono::steady_clock::duration m_listingCost{};  // a listing's recent average cost
    std::vector<std::unique_ptr<Node>> m_orphans;  // dropped while a lister still lists them
    bool m_rootUnreadable = true;

    // Shared between the walk thread, the listers and the consumer; guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_walkWake;    // the walk thread: listings done, room for paths, stop
    std::condition_variable m_listerWake;  // the listers: requests waiting, stop
    std::deque<Listing> m_requests;        // folders to list, taken by the listers
    std::vector<Listing> m_listed;         // listings done, applied by the walk thread
    std::deque<std::string> m_found;       // paths found, taken by the consumer
    bool m_stopping = false;
    bool m_finished = false;
    // Stop's flag for the walk's loop to read without the lock (m_stopping is for the waits).
    std::atomic<bool> m_stopRequested{false};

    std::vector<std::thread> m_listers;
    std::thread m_walker;
};

}  // namespace quorvel::scan
