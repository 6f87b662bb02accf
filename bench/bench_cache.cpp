// Corner-cache map choice: the open-addressing FlatMap against std::unordered_map
// on the build's access pattern (lattice keys of a sphere band, inserted in
// batches, then looked up 27 at a time per subdivided cell).
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/bench_cache.cpp src/core/flat_map.cpp \
//       -o build/bench_cache && build/bench_cache
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "octree/octree.hpp"

using namespace quarvel;

namespace {

struct KeyHash {
    std::size_t operator()(const CornerKey& k) const noexcept { return mix64(k.hash_input()); }
};

// Minimum corners of the cells at `depth` whose centre lies within one cell of
// a sphere of radius 0.3 of the domain.
std::vector<CornerKey> band_cells(unsigned depth) {
    std::vector<CornerKey> out;
    const std::uint32_t n = 1u << depth;
    const double r = 0.3 * n, c = 0.5 * n;
    for (std::uint32_t z = 0; z < n; ++z)
        for (std::uint32_t y = 0; y < n; ++y)
            for (std::uint32_t x = 0; x < n; ++x) {
                double d = std::sqrt((x + 0.5 - c) * (x + 0.5 - c) + (y + 0.5 - c) * (y + 0.5 - c) +
                                     (z + 0.5 - c) * (z + 0.5 - c));
                if (std::fabs(d - r) < 1.0) out.push_back({2 * x, 2 * y, 2 * z});
            }
    return out;
}

template <class Insert, class Find>
void run(const char* name, const std::vector<CornerKey>& cells, Insert insert, Find find) {
    auto t0 = std::chrono::steady_clock::now();
    for (const CornerKey& m : cells)
        for (std::uint32_t d = 0; d < 27; ++d)
            insert({m.x + d % 3, m.y + d / 3 % 3, m.z + d / 9});
    auto t1 = std::chrono::steady_clock::now();
    double sum = 0;
    for (int rep = 0; rep < 3; ++rep)
        for (const CornerKey& m : cells)
            for (std::uint32_t d = 0; d < 27; ++d) sum += find({m.x + d % 3, m.y + d / 3 % 3, m.z + d / 9});
    auto t2 = std::chrono::steady_clock::now();
    const double probes = 27.0 * cells.size();
    std::printf("%-22s insert %6.1f ns/probe   lookup %6.1f ns/probe   (%g)\n", name,
                std::chrono::duration<double, std::nano>(t1 - t0).count() / probes,
                std::chrono::duration<double, std::nano>(t2 - t1).count() / (3 * probes), sum);
}

}  // namespace

int main() {
    for (unsigned depth : {7u, 8u, 9u}) {
        const std::vector<CornerKey> cells = band_cells(depth);
        std::printf("depth %u: %zu cells\n", depth, cells.size());
        {
            CornerCache cache;
            run("CornerCache (flat)", cells,
                [&](CornerKey k) { if (!cache.contains(k)) cache.insert_or_assign(k, {1.0, Vec3{}}); },
                [&](CornerKey k) { return cache.find(k)->value; });
        }
        {
            FlatMap<CornerKey, CornerSample> map;
            run("FlatMap<key, sample>", cells,
                [&](CornerKey k) { map.try_emplace(k, {1.0, Vec3{}}); },
                [&](CornerKey k) { return map.find(k)->value; });
        }
        {
            std::unordered_map<CornerKey, CornerSample, KeyHash> map;
            run("std::unordered_map", cells,
                [&](CornerKey k) { map.try_emplace(k, CornerSample{1.0, Vec3{}}); },
                [&](CornerKey k) { return map.find(k)->second.value; });
        }
    }
}
