#include "octree/refine.hpp"

#include "core/fault.hpp"

namespace quarvel {

namespace {

const char* missing_corner_message(Pass pass) {
    return pass == Pass::build ? "corner not in cache during subdivision"
                               : "corner not in cache during balance subdivision";
}

// Queues the 27-point child lattice of `cell` (level < max_depth) in the order
// children (0..7) and their corners (0..7) name the points, probing each point
// once; for a deeper target, each child's lattice follows its corners.
void queue_children(const Octree& tree, CornerCache& cache, const CellKey& cell, unsigned target,
                    CornerBatch& batch) {
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
            batch.queue(tree, cache, {m.x + dx * half, m.y + dy * half, m.z + dz * half});
        }
        if (level + 1 < target && level + 1 < tree.max_depth)
            queue_children(tree, cache, child_of(cell, c), target, batch);
    }
}

// The eight children of `cell`, made from cached samples of its 27 child
// lattice points (each looked up once).
ChildGroup make_children(Octree& tree, const CornerCache& cache, const CellKey& cell, Pass pass) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t t = 1u << (tree.max_depth - cell.level - 1);
    std::array<const CornerSample*, 27> lattice;  // (dx, dy, dz) in {0,1,2}^3, x fastest
    for (unsigned dz = 0; dz < 3; ++dz)
        for (unsigned dy = 0; dy < 3; ++dy)
            for (unsigned dx = 0; dx < 3; ++dx) {
                const CornerSample* s = cache.find({m.x + dx * t, m.y + dy * t, m.z + dz * t});
                if (!s) fault(missing_corner_message(pass));
                lattice[dx + 3 * dy + 9 * dz] = s;
            }
    ChildGroup group;
    for (unsigned c = 0; c < 8; ++c) {
        std::array<const CornerSample*, 8> samples;
        for (unsigned i = 0; i < 8; ++i)
            samples[i] = lattice[(bit_x(c) + bit_x(i)) + 3 * (bit_y(c) + bit_y(i)) +
                                 9 * (bit_z(c) + bit_z(i))];
        group[c] = make_cell(tree, samples, tree.iso_value);
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

}  // namespace

void CornerBatch::queue(const Octree& tree, CornerCache& cache, const CornerKey& key) {
    const std::optional<std::uint32_t> slot = cache.claim(key);
    if (!slot) return;
    if (keys_.empty()) first_slot_ = *slot;
    keys_.push_back(key);
    points_.push_back(tree.position(key));
}

void CornerBatch::sample(FieldSampler& sampler, CornerCache& cache, ShortValues short_values) {
    if (keys_.empty()) return;
    // Claims are numbered in order, so key i owns slot first_slot_ + i.
    if (cache.size() != first_slot_ + keys_.size()) fault("corner cache grew outside a batch");
    try {
        const Sampled sampled = sampler.sample(points_, short_values);
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            const double value = checked_at(sampled.values, i);
            CornerSample& slot = cache.at(first_slot_ + static_cast<std::uint32_t>(i));
            slot.value = value;
            if (!sampled.absent) slot.gradient = checked_at(sampled.gradients, i);
        }
    } catch (...) {
        cache.withdraw(first_slot_, keys_);
        keys_.clear();
        points_.clear();
        throw;
    }
    keys_.clear();
    points_.clear();
}

void queue_corners(const Octree& tree, CornerCache& cache, const RefineRequest& request,
                   CornerBatch& batch) {
    const CellKey& cell = request.cell;
    if (cell.level >= request.target || cell.level >= tree.max_depth) return;
    queue_children(tree, cache, cell, request.target, batch);
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
    for (const RefineRequest& request : requests) queue_corners(tree, cache, request, batch);
    batch.sample(sampler, cache);
    for (const RefineRequest& request : requests) subdivide(tree, cache, request, pass);
}

std::vector<RefineRequest> one_level(std::span<const CellKey> cells) {
    std::vector<RefineRequest> requests;
    requests.reserve(cells.size());
    for (const CellKey& cell : cells)
        requests.push_back({cell, static_cast<std::uint8_t>(cell.level + 1)});
    return requests;
}

}  // namespace quarvel
