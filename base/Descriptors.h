// How many files and folders the process may hold open at once: raised as far as the system
// allows at start, and shared out between the parts that hold descriptors (the folder walk,
// the probe, the rewrites), so that none of them runs out while another holds too many.
#pragma once

#include <cstddef>

namespace quorvel {

// Raises the soft limit on open descriptors to the hard one. Called once at program start.
void RaiseDescriptorLimit();

// Descriptors the process may still open now: the soft limit less those open (an estimate
// where the open ones cannot be counted). Platforms without such a limit give a large number.
std::size_t FreeDescriptors();

}  // namespace quorvel
