#include "octree/refine.hpp"

#include <exception>

#include "core/fault.hpp"
#include "core/monitor.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"

namespace quarvel {

namespace {

const char* missing_corner_message(Pass pass) {
    return pass == Pass::build ? "corner not in cache during subdivision"
                               : "corner not in cache during balance subdivision";
}

// Calls emit(key) for the 27-point child lattice of `cell` (level <
// max_depth) in the order children (0..7) and their corners (0..7) name the
// points, each point once; for a deeper target, each child's lattice follows
// its corners.
template <class Emit>
void child_lattice(const Octree& tree, const CellKey& cell, unsigned target, Emit& emit) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const unsigned level = cell.level;
    const std::uint32_t half = 1u << (tree.max_depth - level - 1);
    std::uint32_t seen = 0;  // bit per point of the 3x3x3 child lattice
    for (unsigned c = 0; c < 8; ++c) {
        for (unsigned i = 0; i < 8; ++i) {
            const unsigned dx = bit_x(c) + bit_x(i), dy = bit_y(c) + bit_y(i),
                           dz = bit_z(c) + bit_z(i);
            const std::uint32_t bit = 1u << (dx + 3 * dy + 9 * dz);
            if (seen & bit) continue;
            seen |= bit;
            // The cell's own corners were sampled before the cell was made (or
            // queued just before, for a cell this request makes).
            if (dx % 2 == 0 && dy % 2 == 0 && dz % 2 == 0) continue;
            emit(CornerKey{m.x + dx * half, m.y + dy * half, m.z + dz * half});
        }
        if (level + 1 < target && level + 1 < tree.max_depth)
            child_lattice(tree, child_of(cell, c), target, emit);
    }
}

// The eight children of `cell`, made from cached values of its 27 child
// lattice points (each looked up once).
ChildGroup make_children(const Octree& tree, const CornerCache& cache, const CellKey& cell,
                         Pass pass) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t t = 1u << (tree.max_depth - cell.level - 1);
    std::array<double, 27> lattice;  // (dx, dy, dz) in {0,1,2}^3, x fastest
    CornerCache::Nearby cached(cache);
    for (unsigned dz = 0; dz < 3; ++dz)
        for (unsigned dy = 0; dy < 3; ++dy)
            for (unsigned dx = 0; dx < 3; ++dx) {
                const std::uint32_t s = cached.index_of({m.x + dx * t, m.y + dy * t, m.z + dz * t});
                if (s == CornerCache::NONE) fault(missing_corner_message(pass));
                lattice[dx + 3 * dy + 9 * dz] = cache.value(s);
            }
    ChildGroup group;
    for (unsigned c = 0; c < 8; ++c) {
        std::array<double, 8> values;
        for (unsigned i = 0; i < 8; ++i)
            values[i] = lattice[(bit_x(c) + bit_x(i)) + 3 * (bit_y(c) + bit_y(i)) +
                                9 * (bit_z(c) + bit_z(i))];
        group[c] = make_cell(values, tree.iso_value);
    }
    return group;
}

// Subdivides the node at `slot`, the node of the request's cell, then its
// children down to the target.
void subdivide_at(Octree& tree, const CornerCache& cache, NodeSlot slot,
                  const RefineRequest& request, Pass pass) {
    const CellKey& cell = request.cell;
    const unsigned target = request.target;
    if (cell.level >= target || cell.level >= tree.max_depth) return;
    if (!is_internal(tree.at(slot))) {
        const ChildGroup group = make_children(tree, cache, cell, pass);
        tree.children.push_back(group);
        tree.at(slot) = Internal{static_cast<std::uint32_t>(tree.children.size() - 1)};
    }
    if (cell.level + 1u >= target) return;
    const std::uint32_t g = as_internal(tree.at(slot))->group;
    for (unsigned c = 0; c < 8; ++c)
        if (!is_internal(tree.group(g)[c]))
            subdivide_at(tree, cache, {g, c}, {child_of(cell, c), request.target}, pass);
}

// queue_corners for every request, in order. The lattice points not cached
// before the batch are listed in parallel (the cache does not change
// meanwhile); claiming them in list order then skips repeats exactly as
// queueing each request in turn would.
void queue_all_corners(const Octree& tree, CornerCache& cache,
                       std::span<const RefineRequest> requests, CornerBatch& batch) {
    const std::vector<CornerKey> missing = parallel_gather<CornerKey>(
        requests.size(), [&](std::size_t i, std::vector<CornerKey>& out) {
            const RefineRequest& request = requests[i];
            if (request.cell.level >= request.target || request.cell.level >= tree.max_depth) return;
            CornerCache::Nearby cached(cache);
            auto keep_missing = [&](const CornerKey& key) {
                if (cached.index_of(key) == CornerCache::NONE) out.push_back(key);
            };
            child_lattice(tree, request.cell, request.target, keep_missing);
        });
    batch.reserve(missing.size());
    try {
        for (std::size_t i = 0; i < missing.size(); ++i) {
            check_active(i);
            batch.queue(tree, cache, missing[i]);
        }
    } catch (...) {
        batch.withdraw(cache);
        throw;
    }
}

// A request's cell and its children, found and made before the tree changes.
struct Prepared {
    std::optional<NodeSlot> slot;  // none when the request is handled as it comes
    ChildGroup children;
    std::exception_ptr error;  // raised when the request's turn comes
};

// subdivide() for every request, in order. The cells' slots and their first
// level of children are prepared in parallel from the unchanged tree (the
// listed cells are distinct leaves, so none lies inside another); the groups
// are then appended in list order, deeper levels made as they come, and a
// fault surfaces at the request that met it, as in turn.
void subdivide_all(Octree& tree, const CornerCache& cache, std::span<const RefineRequest> requests,
                   Pass pass) {
    const std::vector<Prepared> prepared = parallel_map<Prepared>(requests.size(), [&](std::size_t i) {
        Prepared p;
        const CellKey& cell = requests[i].cell;
        if (cell.level >= requests[i].target || cell.level >= tree.max_depth) return p;
        try {
            const FoundSlot found = locate(tree, NodeSlot{}, 0, cell);
            if (found.level == cell.level && !is_internal(tree.at(found.slot))) {
                p.children = make_children(tree, cache, cell, pass);
                p.slot = found.slot;
            }
        } catch (...) {
            p.error = std::current_exception();
        }
        return p;
    });
    for (std::size_t i = 0; i < requests.size(); ++i) {
        check_active(i);  // between two requests the tree is whole
        const Prepared& p = prepared[i];
        if (p.error) std::rethrow_exception(p.error);
        if (!p.slot || is_internal(tree.at(*p.slot))) {
            subdivide(tree, cache, requests[i], pass);
            continue;
        }
        tree.children.push_back(p.children);
        tree.at(*p.slot) = Internal{static_cast<std::uint32_t>(tree.children.size() - 1)};
        subdivide_at(tree, cache, *p.slot, requests[i], pass);  // deeper targets
    }
}

}  // namespace

void CornerBatch::queue(const Octree& tree, CornerCache& cache, const CornerKey& key) {
    const std::uint32_t slot = cache.claim(key);
    if (slot == CornerCache::NONE) return;
    if (keys_.empty()) first_slot_ = slot;
    tree_ = &tree;
    keys_.push_back(key);
}

void CornerBatch::sample(FieldSampler& sampler, CornerCache& cache, ShortValues short_values) {
    if (keys_.empty()) return;
    // Claims are numbered in order, so key i owns slot first_slot_ + i.
    if (cache.size() != first_slot_ + keys_.size()) fault("corner cache grew outside a batch");
    const auto positions = [&](std::span<Vec3> out) {
        parallel_for(keys_.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = tree_->position(keys_[i]);
        });
    };
    try {
        // Each key fills its own slot: in parallel, the first fault still the lowest key's.
        sampler.sample(keys_.size(), positions, [&](const SampleView& sampled) {
            parallel_for(keys_.size(), [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const double value = sampled.value(i);
                    const std::uint32_t slot = first_slot_ + static_cast<std::uint32_t>(i);
                    if (sampled.absent) {
                        cache.fill(slot, value, nullptr);
                    } else {
                        const Vec3 gradient = sampled.gradient(i);
                        cache.fill(slot, value, &gradient);
                    }
                }
            });
        }, short_values);
    } catch (...) {
        withdraw(cache);
        throw;
    }
    keys_.clear();
}

void CornerBatch::withdraw(CornerCache& cache) {
    if (!keys_.empty()) cache.withdraw(first_slot_, keys_);
    keys_.clear();
}

void queue_corners(const Octree& tree, CornerCache& cache, const RefineRequest& request,
                   CornerBatch& batch) {
    const CellKey& cell = request.cell;
    if (cell.level >= request.target || cell.level >= tree.max_depth) return;
    auto queue = [&](const CornerKey& key) { batch.queue(tree, cache, key); };
    child_lattice(tree, cell, request.target, queue);
}

void subdivide(Octree& tree, const CornerCache& cache, const RefineRequest& request, Pass pass) {
    const CellKey& cell = request.cell;
    if (cell.level >= request.target || cell.level >= tree.max_depth) return;
    const FoundSlot found = locate(tree, NodeSlot{}, 0, cell);
    if (found.level != cell.level) fault("cell to subdivide is not in the tree");
    subdivide_at(tree, cache, found.slot, request, pass);
}

void refine(FieldSampler& sampler, Octree& tree, CornerCache& cache,
            std::span<const RefineRequest> requests, Pass pass) {
    CornerBatch batch;
    queue_all_corners(tree, cache, requests, batch);
    batch.sample(sampler, cache);
    subdivide_all(tree, cache, requests, pass);
}

std::vector<RefineRequest> one_level(std::span<const CellKey> cells) {
    std::vector<RefineRequest> requests;
    requests.reserve(cells.size());
    for (const CellKey& cell : cells)
        requests.push_back({cell, static_cast<std::uint8_t>(cell.level + 1)});
    return requests;
}

}  // namespace quarvel
