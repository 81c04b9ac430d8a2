// The separator of path components on this platform: the folder walk joins names with it and
// the dialog strips it from the end of a chosen root.
#pragma once

namespace quorvel {

#ifdef _WIN32
inline constexpr char kPathSep = '\\';
#else
inline constexpr char kPathSep = '/';
#endif

}  // namespace quorvel
