// Counts the heap allocations of each thread of the benchmark process (the program replaces the
// global operator new), so that a run can tell what the host's threads allocate per step.
#pragma once

#include <cstdint>

namespace bench {

// The counting slot of the calling thread (threads beyond the slots share them).
int ThreadSlot();
// Allocations counted in a slot since the program started.
std::uint64_t Allocations(int slot);

}  // namespace bench
