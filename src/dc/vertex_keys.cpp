#include "dc/vertex_keys.hpp"

#include <algorithm>

#include "core/fault.hpp"
#include "core/parallel.hpp"

namespace quarvel {

namespace {

constexpr std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

constexpr std::uint64_t combine(std::uint64_t seed, std::uint64_t value) { return mix(seed ^ mix(value + seed)); }

// Set on every digest, so that no made vertex shares a slot's detail.
constexpr std::uint64_t kMade = std::uint64_t{1} << 63;

}  // namespace

std::vector<VertexKey> vertex_keys(const SurfaceCells& surface, std::span<const std::uint64_t> first_vertex,
                                   std::uint64_t placed, std::span<const MadeVertex> made,
                                   std::span<const Triangle> triangles) {
    if (first_vertex.size() != surface.cells.size()) fault("first vertices not given for every cell");
    std::vector<VertexKey> keys(placed + made.size());
    // A cell's vertices end where the next cell with any begins.
    std::vector<std::uint64_t> end_of(first_vertex.size(), placed);
    for (std::size_t c = first_vertex.size(), next = placed; c-- > 0;) {
        end_of[c] = next;
        if (first_vertex[c] != MadeVertex::NONE) next = first_vertex[c];
    }
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            if (first_vertex[c] == MadeVertex::NONE) continue;
            const CellKey& k = surface.cells[c].key;
            if (std::max({k.x, k.y, k.z}) > kKeyAxisMask) fault("a cell beyond the names' lattice");
            for (std::uint64_t s = first_vertex[c]; s < end_of[c]; ++s)
                keys[s] = {pack_cell(k.x, k.y, k.z), s - first_vertex[c]};
        }
    });
    // A midpoint is named by its ends and belongs to the lesser's cell; a
    // copy takes its original's name until the fans tell them apart.
    std::vector<std::uint64_t> original(keys.size(), MadeVertex::NONE);
    for (std::size_t i = 0; i < made.size(); ++i) {
        const std::uint64_t v = placed + i;
        const MadeVertex& m = made[i];
        if (m.from >= v || (m.and_from != MadeVertex::NONE && m.and_from >= v)) fault("a vertex made from a later one");
        if (m.and_from == MadeVertex::NONE) {
            keys[v] = keys[m.from];
            original[v] = original[m.from] != MadeVertex::NONE ? original[m.from] : m.from;
            original[original[v]] = original[v];
            continue;
        }
        const VertexKey a = std::min(keys[m.from], keys[m.and_from]), b = std::max(keys[m.from], keys[m.and_from]);
        std::uint64_t digest = combine(combine(a.detail, b.cell), b.detail);
        // An edge's pairs are told apart by their far corners.
        std::array<VertexKey, 2> far{};
        for (unsigned k = 0; k < 2; ++k) {
            if (m.across[k] >= v) fault("a vertex made from a later one");
            far[k] = keys[m.across[k]];
        }
        std::sort(far.begin(), far.end());
        for (const VertexKey& k : far) digest = combine(combine(digest, k.cell), k.detail);
        keys[v] = {a.cell, kMade | digest};
    }
    // Every vertex of a split group (its original included) adds the names
    // around its fan, in an order of their own. Such vertices are few: the
    // names around them are gathered in one list, (vertex, name) pairs.
    std::vector<std::pair<std::uint64_t, VertexKey>> around;
    for (const Triangle& t : triangles)
        for (unsigned k = 0; k < 3; ++k) {
            if (t[k] >= keys.size()) index_fault(keys.size(), t[k]);
            if (original[t[k]] == MadeVertex::NONE) continue;
            around.push_back({t[k], keys[t[(k + 1) % 3]]});
            around.push_back({t[k], keys[t[(k + 2) % 3]]});
        }
    std::sort(around.begin(), around.end());
    std::vector<VertexKey> named = keys;
    for (std::size_t i = 0; i < around.size();) {
        const std::uint64_t v = around[i].first;
        std::uint64_t digest = keys[v].detail;
        for (; i < around.size() && around[i].first == v; ++i)
            digest = combine(combine(digest, around[i].second.cell), around[i].second.detail);
        named[v].detail = kMade | digest;
    }
    // Two vertices of one name would be joined into one: a broken invariant.
    std::vector<VertexKey> sorted = named;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) fault("two vertices got one name");
    return named;
}

}  // namespace quarvel
