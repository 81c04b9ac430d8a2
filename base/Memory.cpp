#include "base/Memory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

// The sanitizers replace the C library's allocator: its trim would walk arenas that were never
// set up (ThreadSanitizer crashes in it).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEL_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QUORVEL_OWN_ALLOCATOR 1
#endif
#endif

namespace quorvel {

std::uint64_t PhysicalMemoryBytes() {
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) : 0;
#endif
}

void GiveBackFreedMemory() {
#if defined(__GLIBC__) && !defined(QUORVEL_OWN_ALLOCATOR)
    malloc_trim(0);
#endif
}

}  // namespace quorvel
