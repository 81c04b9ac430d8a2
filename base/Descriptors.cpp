#include "base/Descriptors.h"

#ifndef _WIN32
#include <dirent.h>
#include <sys/resource.h>
#endif

namespace quorvel {

namespace {
// Descriptors assumed open when they cannot be counted: the standard three and what a toolkit
// opens (its display connection, event notifiers, a few libraries).
constexpr std::size_t kAssumedOpen = 64;
constexpr std::size_t kPlenty = std::size_t{1} << 20;
}  // namespace

#ifdef _WIN32

void RaiseDescriptorLimit() {}

std::size_t FreeDescriptors() { return kPlenty; }

#else

void RaiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

std::size_t FreeDescriptors() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kAssumedOpen;
    const std::size_t soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kPlenty
                                 ? kPlenty
                                 : static_cast<std::size_t>(limit.rlim_cur);
    std::size_t open = kAssumedOpen;
    if (DIR* fds = opendir("/proc/self/fd")) {
        open = 0;
        while (const dirent* entry = readdir(fds))
            if (entry->d_name[0] != '.') ++open;
        closedir(fds);
    }
    return soft > open ? soft - open : 0;
}

#endif

}  // namespace quorvel
