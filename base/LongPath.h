// Opening folders by paths of any length on POSIX systems. Paths are raw bytes, never converted.
#pragma once

#include <functional>
#include <string>

struct stat;

namespace quorvel::posix {

// Links followed at most in one resolution, as the kernel allows.
inline constexpr int kMaxLinks = 40;

// Opens the folder `path` (O_RDONLY|O_DIRECTORY|O_CLOEXEC), following links, for a path of any
// length: uses open() directly when the path is short enough, otherwise walks its components
// with openat(). "" means "/". Returns the fd, or -1 with errno set.
int OpenDirectory(const std::string& path);

// Opens the folder that holds the last component of `path` and stores that component in `leaf`.
// Works for any path length. Returns the fd, or -1 with errno set (e.g. empty leaf).
int OpenParentDirectory(const std::string& path, std::string& leaf);

// Asked for every step of OpenFolderStepwise: a link met (`st` is the link's own status, `fd` a
// handle on the link itself) or a folder passed through or reached (`fd` is open on it). False
// stops the walk; the check sets errno.
using StepCheck = std::function<bool(const struct stat& st, int fd)>;

// Opens the folder `path` relative to the open folder `dir` (from "/" when `path` is absolute)
// with `flags`, one component at a time, the way the kernel would resolve it, but showing every
// link met on the way (the one at the end included, at most 40 in all) and every folder passed
// through to `check`. A link's text is followed the same way; a link to /proc's descriptors is
// followed as the path it names, never by the kernel's shortcut. Returns the fd, or -1 with errno.
int OpenFolderStepwise(int dir, const std::string& path, int flags, const StepCheck& check);

// The text of the symbolic link `link` (an O_PATH descriptor of the link itself).
bool ReadLinkText(int link, std::string& text);

}  // namespace quorvel::posix
