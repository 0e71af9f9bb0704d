#include "tests/support/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> g_allocations{0};
std::atomic<int> g_active{0};
}  // namespace

namespace rxptest {
AllocationCounter::AllocationCounter() : start_(g_allocations.load()) {
    ++g_active;
}
AllocationCounter::~AllocationCounter() {
    --g_active;
}
std::size_t AllocationCounter::count() const {
    return g_allocations.load() - start_;
}
}  // namespace rxptest

void* operator new(std::size_t size) {
    if (g_active.load(std::memory_order_relaxed) > 0) ++g_allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
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
