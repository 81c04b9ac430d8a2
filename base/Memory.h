// The machine's memory, as the system reports it, and handing freed memory back to it.
#pragma once

#include <cstdint>

namespace quorvel {

// The physical memory of the machine in bytes; 0 when the system does not say.
std::uint64_t PhysicalMemoryBytes();

// Hands memory the process has freed back to the system where the C library keeps it (glibc
// keeps large freed blocks in its arenas); nothing elsewhere.
void GiveBackFreedMemory();

}  // namespace quorvel
