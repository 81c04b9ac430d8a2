// Opening folders by paths of any length on POSIX systems. Paths are raw bytes, never converted.
#pragma once

#include <string>

namespace quorvel::posix {

// Opens the folder `path` (O_RDONLY|O_DIRECTORY|O_CLOEXEC), following links, for a path of any
// length: uses open() directly when the path is short enough, otherwise walks its components
// with openat(). "" means "/". Returns the fd, or -1 with errno set.
int OpenDirectory(const std::string& path);

// Opens the folder that holds the last component of `path` and stores that component in `leaf`.
// Works for any path length. Returns the fd, or -1 with errno set (e.g. empty leaf).
int OpenParentDirectory(const std::string& path, std::string& leaf);

}  // namespace quorvel::posix
