// Large buffers kept in the heap for the length of a call.
//
// A call's stages allocate and free buffers of tens to hundreds of megabytes
// in turn. By default the C library maps each such block from the kernel and
// unmaps it when it is freed, so every stage faults in and zeroes fresh pages
// (a tenth of a large call, all on the calling thread). While a HeapKept
// lives, large blocks come from the heap and freed ones stay there for the
// next stage; when the last one ends, the free memory goes back to the
// system and the library's thresholds are set to where its own adjustment
// would have taken them after blocks this large.
#pragma once

namespace quarvel {

class HeapKept {
public:
    // Blocks from `largest` bytes up are still mapped apart. A call whose
    // field makes large temporaries of many sizes (a NumPy function on big
    // batches) keeps its peak with 16 MiB: kept larger ones leave holes that
    // later blocks of other sizes do not fit. A call evaluated in the core
    // runs fastest with all its buffers kept, for about 3% more peak.
    static constexpr int kBatchesMapped = 16 << 20;
    static constexpr int kAllKept = 1 << 30;
    explicit HeapKept(int largest);
    ~HeapKept();
    HeapKept(const HeapKept&) = delete;
    HeapKept& operator=(const HeapKept&) = delete;
};

}  // namespace quarvel
