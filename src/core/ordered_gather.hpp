// A parallel loop whose items each emit a variable number of results, joined
// in item order. Each slice fills its own buffer; the buffers are concatenated
// by slice start, so the output is the serial loop's output for any thread count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "core/parallel.hpp"

namespace quarvel {

// Calls emit(i, out) for i in [0, n); `out` is a vector<T> the call appends to.
template <class T, class Emit>
std::vector<T> parallel_gather(std::size_t n, Emit&& emit, std::size_t min_parallel = 256) {
    struct Piece {
        std::size_t begin;
        std::vector<T> items;
    };
    std::vector<Piece> pieces;
    std::mutex pieces_mutex;
    parallel_for(
        n,
        [&](std::size_t begin, std::size_t end) {
            std::vector<T> local;
            for (std::size_t i = begin; i < end; ++i) emit(i, local);
            std::lock_guard lock(pieces_mutex);
            pieces.push_back({begin, std::move(local)});
        },
        min_parallel);
    if (pieces.size() == 1) return std::move(pieces.front().items);
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.begin < b.begin; });
    std::size_t total = 0;
    for (const Piece& p : pieces) total += p.items.size();
    std::vector<T> out;
    out.reserve(total);
    for (Piece& p : pieces) {
        check_active();
        out.insert(out.end(), p.items.begin(), p.items.end());
    }
    return out;
}

// The items i for which keep(i) holds, in order; keep runs in parallel, so
// it may only read shared state.
template <class T, class Keep>
std::vector<T> parallel_filter(std::span<const T> items, Keep&& keep) {
    return parallel_gather<T>(items.size(), [&](std::size_t i, std::vector<T>& out) {
        if (keep(i)) out.push_back(items[i]);
    });
}

}  // namespace quarvel
