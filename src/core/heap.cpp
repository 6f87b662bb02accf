#include "core/heap.hpp"

#include <atomic>
#include <limits>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quarvel {

#if defined(__GLIBC__)

namespace {

// Calls from several interpreter threads share the setting: the first to
// start sets it, the last to end undoes it. Only speed rides on it, so a call
// that starts just as another ends may run with either setting; no lock, so
// that a child forked meanwhile never inherits one held.
std::atomic<unsigned> g_heap_users{0};

// What the library's own adjustment reaches after freeing blocks of at least
// 32 MiB on a 64-bit system: blocks up to that size from the heap, and free
// memory beyond twice that at its top handed back.
constexpr int kMappedBlock = 32 << 20;
constexpr int kTrimmedTop = 64 << 20;

}  // namespace

HeapKept::HeapKept(int largest) {
    if (g_heap_users.fetch_add(1) > 0) return;
    mallopt(M_MMAP_THRESHOLD, largest);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
}

HeapKept::~HeapKept() {
    if (g_heap_users.fetch_sub(1) > 1) return;
    mallopt(M_MMAP_THRESHOLD, kMappedBlock);
    mallopt(M_TRIM_THRESHOLD, kTrimmedTop);
    malloc_trim(0);
}

#else

HeapKept::HeapKept(int) {}
HeapKept::~HeapKept() = default;

#endif

}  // namespace quarvel
