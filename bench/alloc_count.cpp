#include "bench/alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace bench {

namespace {

constexpr int kSlots = 64;
std::atomic<std::uint64_t> g_Allocations[kSlots];
std::atomic<int> g_NextSlot{0};
// Constant-initialised, so reading it inside operator new allocates nothing.
thread_local int t_Slot = -1;

}  // namespace

int ThreadSlot() {
    if (t_Slot < 0) t_Slot = g_NextSlot.fetch_add(1, std::memory_order_relaxed) % kSlots;
    return t_Slot;
}

std::uint64_t Allocations(int slot) {
    return slot >= 0 && slot < kSlots ? g_Allocations[slot].load(std::memory_order_relaxed) : 0;
}

}  // namespace bench

// Every unaligned form is replaced, so that each allocation is counted once and freed by the
// allocator that made it; the aligned forms keep their own allocator and are not counted.
namespace {

void* Allocate(std::size_t size) noexcept {
    bench::g_Allocations[bench::ThreadSlot()].fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size != 0 ? size : 1);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete[](void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
