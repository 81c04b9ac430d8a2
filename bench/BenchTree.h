// Large fixture trees for the benchmarks: nested folders holding .olv files of every version
// among many ordinary files, written quickly with plain writes (fixture data, not saves).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::bench {

struct TreeSpec {
    std::size_t entries = 200000;   // files and folders in all
    std::size_t olvFiles = 20000;   // of which .olv files
};

// Builds the tree under `root` (a fresh, empty folder; created when missing): nested folders
// (a few levels, realistic fan-out), the .olv files spread among them (a mix of versions 1..5,
// about a third version 4, some of those with the recoverable fault), the rest ordinary small
// files with other names (some look-alikes like x.olv.bak). The same shape always gives the same
// tree. Returns the paths of the .olv files. Throws std::runtime_error when a write fails.
std::vector<std::string> BuildTree(const std::string& root, const TreeSpec& shape);

// The folder a benchmark works in: `given` when it is a new or empty folder (created when new),
// or a new folder under /tmp when `given` is empty. `made` tells whether it was created here.
// Throws std::runtime_error when `given` exists and is not an empty folder, or creation fails.
std::string MakeWorkFolder(std::string given, bool& made);

}  // namespace quorvel::bench
