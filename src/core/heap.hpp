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
    HeapKept();
    ~HeapKept();
    HeapKept(const HeapKept&) = delete;
    HeapKept& operator=(const HeapKept&) = delete;
};

}  // namespace quarvel
