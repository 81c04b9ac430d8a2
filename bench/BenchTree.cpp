#include "bench/BenchTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "filelib/WekVerify.h"

namespace quorvel::bench {

namespace {

// About this many entries per folder on average.
constexpr std::size_t kEntriesPerFolder = 25;
// Each folder gets between kMinFanOut and kMaxFanOut subfolders until all are made.
constexpr std::size_t kMinFanOut = 3, kMaxFanOut = 13;

const char* const kFolderWords[] = {"projects", "archive", "backup", "data",    "reports",
                                    "2019",     "2020",    "2021",   "clients", "scans",
                                    "Old Files", "exports", "work",  "shared",  "misc"};
const char* const kOlvWords[] = {"survey", "ledger", "sample", "batch", "station", "run", "site"};
// Names of ordinary files end in one of these.
const char* const kPlainEnds[] = {".txt", ".log", ".csv", ".png", ".dat",
                                  ".ini", ".xml", ".pdf", "",     ".docx"};
// Look-alikes: names that mention .olv but are not .olv files.
const char* const kLookAlikeEnds[] = {".olv.bak", ".olv~", ".olvx", "_olv.txt", ".olv.tmp"};
const int kOtherVersions[] = {1, 2, 3, 5};

using Rng = std::mt19937_64;

std::size_t Pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

[[noreturn]] void Fail(const char* what, const std::string& path) {
    throw std::runtime_error(std::string("cannot ") + what + " " + path + ": " + std::strerror(errno));
}

void MakeFolder(const std::string& path, bool mayExist) {
    if (mkdir(path.c_str(), 0755) != 0 && !(mayExist && errno == EEXIST)) Fail("create folder", path);
}

// Creates `path`, which must not exist yet, with exactly these bytes.
void WriteNewFile(const std::string& path, const char* data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("create", path);
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            Fail("write", path);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) Fail("write", path);
}

template <std::size_t N>
const char* PickOf(Rng& rng, const char* const (&words)[N]) {
    return words[Pick(rng, N)];
}

// A fresh .olv file image: 1 to 8 records of up to 600 bytes cut from `filler`.
std::string MakeOlvBytes(Rng& rng, const std::string& filler, int version, bool fault) {
    std::vector<std::string> records(1 + Pick(rng, 8));
    for (std::string& r : records) {
        const std::size_t length = Pick(rng, 601);
        r.assign(filler, Pick(rng, filler.size() - length), length);
    }
    std::string bytes;
    if (!WekEncode(version, records, fault, bytes))
        throw std::runtime_error("cannot encode a version " + std::to_string(version) + " file");
    return bytes;
}

}  // namespace

std::vector<std::string> BuildTree(const std::string& rootIn, const TreeSpec& shape) {
    std::string root = rootIn;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    MakeFolder(root, true);

    Rng rng(0x0a1b2c3d4e5f6071ULL);
    std::string filler(64 * 1024, '\0');
    for (char& c : filler) c = static_cast<char>(' ' + Pick(rng, 95));

    const std::size_t olv = std::min(shape.olvFiles, shape.entries);
    const std::size_t rest = shape.entries - olv;
    const std::size_t folders = std::min(rest, shape.entries / kEntriesPerFolder);
    const std::size_t others = rest - folders;

    // Folders breadth first, so the tree is a few levels deep whatever its size.
    std::vector<std::string> folderPaths{root};
    for (std::size_t parent = 0; folderPaths.size() - 1 < folders; ++parent) {
        const std::size_t fanOut = kMinFanOut + Pick(rng, kMaxFanOut - kMinFanOut + 1);
        for (std::size_t k = 0; k < fanOut && folderPaths.size() - 1 < folders; ++k) {
            std::string path = folderPaths[parent] + "/" + PickOf(rng, kFolderWords) + "-" +
                               std::to_string(folderPaths.size());
            MakeFolder(path, false);
            folderPaths.push_back(std::move(path));
        }
    }

    // Every file gets a random folder; writing them folder by folder keeps the writes local.
    struct Slot {
        std::uint32_t folder;
        bool olv;
    };
    std::vector<Slot> slots(olv + others);
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i] = {static_cast<std::uint32_t>(Pick(rng, folderPaths.size())), i < olv};
    std::shuffle(slots.begin(), slots.end(), rng);
    std::stable_sort(slots.begin(), slots.end(),
                     [](const Slot& a, const Slot& b) { return a.folder < b.folder; });

    std::vector<std::string> olvPaths;
    olvPaths.reserve(olv);
    std::string lastOlv = MakeOlvBytes(rng, filler, 3, false);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::string path = folderPaths[slots[i].folder] + "/";
        if (slots[i].olv) {
            const bool v4 = Pick(rng, 3) == 0;
            const int version = v4 ? 4 : kOtherVersions[Pick(rng, 4)];
            const bool fault = v4 && Pick(rng, 4) == 0;
            lastOlv = MakeOlvBytes(rng, filler, version, fault);
            path.append(PickOf(rng, kOlvWords)).append("_").append(std::to_string(i));
            path.append(Pick(rng, 40) == 0 ? ".OLV" : ".olv");
            WriteNewFile(path, lastOlv.data(), lastOlv.size());
            olvPaths.push_back(std::move(path));
        } else if (Pick(rng, 20) == 0) {
            // A look-alike, often a real .olv image under another name (a backup copy).
            path.append(PickOf(rng, kOlvWords)).append("_").append(std::to_string(i));
            path.append(PickOf(rng, kLookAlikeEnds));
            if (Pick(rng, 2) == 0)
                WriteNewFile(path, lastOlv.data(), lastOlv.size());
            else
                WriteNewFile(path, filler.data(), Pick(rng, 2048));
        } else {
            path.append("file_").append(std::to_string(i)).append(PickOf(rng, kPlainEnds));
            const std::size_t size = Pick(rng, 2048);
            WriteNewFile(path, filler.data() + Pick(rng, filler.size() - size), size);
        }
    }
    return olvPaths;
}

std::string MakeWorkFolder(std::string given, bool& made) {
    made = false;
    if (given.empty()) {
        char pattern[] = "/tmp/quorvel-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        made = true;
        return pattern;
    }
    while (given.size() > 1 && given.back() == '/') given.pop_back();
    if (mkdir(given.c_str(), 0755) == 0) {
        made = true;
        return given;
    }
    std::error_code ec;
    if (errno != EEXIST || !std::filesystem::is_empty(given, ec) || ec)
        throw std::runtime_error(given + " must be a new or empty folder");
    return given;
}

}  // namespace quorvel::bench
