// Parallel loops on one process-wide pool of worker threads.
//
// Work is cut into even contiguous slices; slice k covers its indices in
// order and stops at its first exception. After every slice has finished, the
// exception of the lowest index is rethrown on the calling thread, so a fault
// surfaces exactly as it would in a serial loop. Output slot i is written only
// by the task of index i, so results never depend on the number of threads.
//
// Within a call that polls a monitor (core/monitor.hpp), slices are smaller,
// and the calling thread polls it before each of its slices and while it
// waits for the workers'. Once a poll throws, no slice starts any more; the
// poll's exception is rethrown after the slices already running have
// finished (or ended early by checking the monitor).
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace quarvel {

// Threads a parallel loop may use (the caller included): "RAYON_NUM_THREADS",
// then "RAYON_RS_NUM_CPUS" (positive decimal; 0 means the default), else the
// number of logical processors; at most 1024. Read once, when the pool starts.
// Fewer when the system refuses to start more: the pool runs with the workers
// it could start, down to the caller alone.
std::size_t pool_thread_count();

// Runs body(begin, end) over slices covering [0, n). Serial below `min_parallel`.
void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  std::size_t min_parallel = 256);

// out[i] = f(i) for i in [0, n), in index order. T must be default-constructible.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& f, std::size_t min_parallel = 256) {
    std::vector<T> out(n);
    parallel_for(
        n,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = f(i);
        },
        min_parallel);
    return out;
}

}  // namespace quarvel
