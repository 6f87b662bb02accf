#include "octree/build.hpp"

#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <new>

#include "core/fault.hpp"
#include "core/vec3.hpp"
#include "octree/balance.hpp"

namespace quarvel {

namespace {


// State shared by the phases of one build.
struct Builder {
    Evaluator& field;
    Octree tree;
    CornerCache cache;
    double fd_step = 0.0;
    double cos_threshold = 1.0;
    std::uint64_t eval_count = 0;
};

// Corners queued for one batch, without duplicates, in first-seen order.
// Each new key claims its cache slot when queued, so a key already cached or
// already queued is skipped by the same probe. The claimed samples are filled
// from the batch; if the batch fails, the build (and its cache) is abandoned.
struct CornerBatch {
    std::vector<std::uint32_t> slots;
    std::vector<Vec3> points;

    void queue(const Octree& tree, CornerCache& cache, const CornerKey& key) {
        const std::optional<std::uint32_t> slot = cache.claim(key);
        if (!slot) return;
        slots.push_back(*slot);
        points.push_back(tree.position(key));
    }
};

// A first batch that cannot fit in memory is refused up front, as an allocation
// failure, instead of letting the system kill the process halfway through.
void check_first_batch_fits(std::uint64_t side) {
    // Per point: key, position, query array row, value, gradient, two cache slots.
    constexpr double bytes_per_point = 12 + 24 + 24 + 8 + 24 + 2 * 56;
    const double points = static_cast<double>(side) * static_cast<double>(side) *
                          static_cast<double>(side);
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                          static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (memory > 0 && points * bytes_per_point > memory) throw std::bad_alloc();
}

// ---------------------------------------------------------------- phase 1

void sample_first_lattice(Builder& b) {
    const unsigned min_depth = b.tree.min_depth;
    const std::uint64_t n = std::uint64_t{1} << min_depth;
    check_first_batch_fits(n + 1);
    const unsigned s = b.tree.max_depth - min_depth;
    const std::size_t count = static_cast<std::size_t>((n + 1) * (n + 1) * (n + 1));
    b.cache.reserve(count);

    std::vector<CornerKey> keys;
    std::vector<Vec3> points;
    keys.reserve(count);
    points.reserve(count);
    for (std::uint32_t z = 0; z <= n; ++z)
        for (std::uint32_t y = 0; y <= n; ++y)
            for (std::uint32_t x = 0; x <= n; ++x) {
                CornerKey key{x << s, y << s, z << s};
                keys.push_back(key);
                points.push_back(b.tree.position(key));
            }

    BatchResult batch = b.field.eval_batch(points);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        CornerSample sample{checked_at(batch.values, i), std::nullopt};
        if (batch.gradients) sample.gradient = checked_at(*batch.gradients, i);
        b.cache.insert_or_assign(keys[i], sample);
    }
    b.eval_count = keys.size();
    if (batch.gradients) return;

    std::vector<Vec3> gradients = fd_gradients(b.field, points, b.fd_step);
    for (std::size_t i = 0; i < keys.size(); ++i) b.cache.find(keys[i])->gradient = gradients[i];
    b.eval_count = 7 * keys.size();
}

// ---------------------------------------------------------------- phase 2

OctreeNode assemble(Builder& b, const CellKey& cell) {
    const unsigned s = b.tree.max_depth - b.tree.min_depth;
    if (cell.level == b.tree.min_depth) {
        const CornerKey m = min_corner(cell, b.tree.max_depth);
        std::array<const CornerSample*, 8> samples;
        for (unsigned i = 0; i < 8; ++i) {
            samples[i] = b.cache.find(corner_of(m, 1u << s, i));
            if (!samples[i]) fault("corner not in cache");
        }
        return make_cell(b.tree, samples, b.tree.iso_value);
    }
    ChildGroup group;
    for (unsigned c = 0; c < 8; ++c) group[c] = assemble(b, child_of(cell, c));
    auto all_are = [&]<class Kind>(Kind) {
        for (const OctreeNode& child : group)
            if (!std::holds_alternative<Kind>(child)) return false;
        return true;
    };
    if (all_are(Inside{})) return Inside{};
    if (all_are(Outside{})) return Outside{};
    b.tree.children.push_back(group);
    return Internal{static_cast<std::uint32_t>(b.tree.children.size() - 1)};
}

// ---------------------------------------------------------------- phase 3

}  // namespace

bool leaf_selected(const LeafData& leaf, double cos_threshold) {
    if (!leaf.gradients) return false;
    const std::array<Vec3, 8>& g = *leaf.gradients;
    std::array<Vec3, 8> normals;
    std::array<double, 8> lengths;
    unsigned count = 0;
    for (unsigned i = 0; i < 8; ++i) {
        lengths[i] = length(g[i]);
        if (lengths[i] > 1e-12)
            normals[count++] = {g[i][0] / lengths[i], g[i][1] / lengths[i], g[i][2] / lengths[i]};
    }
    if (count >= 2) {
        double m = 1.0;
        for (unsigned i = 0; i < count; ++i)
            for (unsigned j = i + 1; j < count; ++j) m = min_ignoring_nan(m, dot(normals[i], normals[j]));
        if (cos_threshold > m) return true;
    }
    double gmin = DBL_MAX, gmax = 0.0;
    for (double len : lengths) {
        gmin = min_ignoring_nan(gmin, len);
        gmax = max_ignoring_nan(gmax, len);
    }
    return gmin > 1e-12 && gmax > 4.0 * gmin;
}

// A uniform cell is selected when the surface could be within 1.5 diagonals of it,
// judged by its nearest corner value and steepest corner gradient.
bool uniform_cell_selected(const Octree& tree, const CornerCache& cache, const CellKey& cell) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
    double f = DBL_MAX, g = 0.0;
    for (unsigned i = 0; i < 8; ++i) {
        const CornerSample* sample = cache.find(corner_of(m, edge, i));
        if (!sample) continue;
        f = min_ignoring_nan(f, std::fabs(sample->value - tree.iso_value));
        if (sample->gradient) g = max_ignoring_nan(g, length(*sample->gradient));
    }
    const double diagonal = (tree.size / pow2(cell.level)) * std::sqrt(3.0);
    return f < diagonal * (g * 1.5);
}

namespace {

void select_at_level(const Builder& b, const OctreeNode& node, const CellKey& cell,
                     unsigned level, std::vector<CellKey>& out) {
    if (const auto* internal = std::get_if<Internal>(&node)) {
        if (cell.level >= level) return;
        const ChildGroup& group = b.tree.group(internal->group);
        for (unsigned c = 0; c < 8; ++c) select_at_level(b, group[c], child_of(cell, c), level, out);
        return;
    }
    if (cell.level != level) return;
    const bool selected = std::holds_alternative<Leaf>(node)
                              ? leaf_selected(b.tree.data(std::get<Leaf>(node)), b.cos_threshold)
                              : uniform_cell_selected(b.tree, b.cache, cell);
    if (selected) out.push_back(cell);
}

std::vector<CellKey> select_for_refinement(const Builder& b, unsigned level) {
    std::vector<CellKey> out;
    select_at_level(b, b.tree.root, CellKey{}, level, out);
    return out;
}

// Queues the 27 distinct lattice points of a cell's children in the order the
// children (0..7) and their corners (0..7) name them, probing each point once.
void queue_child_corners(Builder& b, const CellKey& cell, CornerBatch& batch) {
    const CornerKey base = min_corner(cell, b.tree.max_depth);
    const std::uint32_t t = 1u << (b.tree.max_depth - cell.level - 1);
    std::uint32_t seen = 0;  // bit per point of the 3x3x3 child lattice
    for (unsigned c = 0; c < 8; ++c)
        for (unsigned i = 0; i < 8; ++i) {
            const unsigned dx = bit_x(c) + bit_x(i), dy = bit_y(c) + bit_y(i),
                           dz = bit_z(c) + bit_z(i);
            const std::uint32_t bit = 1u << (dx + 3 * dy + 9 * dz);
            if (seen & bit) continue;
            seen |= bit;
            // The cell's own corners were cached when its node was made.
            if (dx % 2 == 0 && dy % 2 == 0 && dz % 2 == 0) continue;
            batch.queue(b.tree, b.cache, {base.x + dx * t, base.y + dy * t, base.z + dz * t});
        }
}

// Samples the missing corners of every listed cell's children in one batch,
// then subdivides the cells in list order.
void refine_cells(Builder& b, const std::vector<CellKey>& cells) {
    CornerBatch batch;
    for (const CellKey& cell : cells) queue_child_corners(b, cell, batch);
    if (!batch.points.empty()) {
        SampledBatch sampled = sample_with_gradients(b.field, batch.points, b.fd_step);
        b.eval_count += sampled.evaluations;
        for (std::size_t i = 0; i < batch.slots.size(); ++i)
            b.cache.at(batch.slots[i]) =
                CornerSample{checked_at(sampled.values, i), checked_at(sampled.gradients, i)};
    }
    for (const CellKey& cell : cells)
        subdivide(b.tree, b.cache, min_corner(cell, b.tree.max_depth), cell.level,
                  b.tree.iso_value);
}

void refine_levels(Builder& b) {
    for (unsigned level = b.tree.min_depth; level < b.tree.max_depth; ++level) {
        std::vector<CellKey> selected = select_for_refinement(b, level);
        if (selected.empty()) return;
        refine_cells(b, selected);
        b.field.poll();
    }
}

// ---------------------------------------------------------------- phase 4

// One pass of band refinement: every Leaf coarser than max_depth, and every
// uniform cell coarser than a finest Leaf beside it, in walk order.
std::vector<CellKey> band_requests(const Octree& tree) {
    UniqueList<CellKey> refine;
    auto request = [&](const CellKey& cell) { refine.push(cell); };
    walk_leaves(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath& path) {
        if (!std::holds_alternative<Leaf>(node)) return;
        if (key.level < tree.max_depth) {
            request(key);
            return;
        }
        // Face neighbours in the order -x, +x, -y, +y, -z, +z.
        const std::uint32_t last = (1u << key.level) - 1;
        for (unsigned dir = 0; dir < 6; ++dir) {
            const unsigned axis = dir / 2;
            std::array<std::uint32_t, 3> n{key.x, key.y, key.z};
            if (dir % 2 == 0) {
                if (n[axis] == 0) continue;
                --n[axis];
            } else {
                if (n[axis] == last) continue;
                ++n[axis];
            }
            const CellKey neighbour{n[0], n[1], n[2], key.level};
            const FoundNode found = find_face_neighbour(tree, path, key, neighbour, axis);
            if (found.level >= key.level) continue;
            if (!std::holds_alternative<Outside>(*found.node) && !std::holds_alternative<Inside>(*found.node))
                continue;
            const unsigned up = key.level - found.level;
            request({n[0] >> up, n[1] >> up, n[2] >> up, static_cast<std::uint8_t>(found.level)});
        }
    });
    return refine.take();
}

// Refines every surface leaf to max_depth, and the uniform cells beside finest
// surface leaves, one batch per pass, until a pass finds nothing.
void band_refinement(Builder& b) {
    for (;;) {
        const std::vector<CellKey> refine = band_requests(b.tree);
        if (refine.empty()) return;
        refine_cells(b, refine);
        b.field.poll();
    }
}

}  // namespace

BuildResult build_octree(Evaluator& field, const BuildParams& params) {
    Builder b{field, Octree{}, CornerCache{}, 0.0, 1.0, 0};
    b.cos_threshold = std::cos((params.angle_threshold_deg * M_PI) / 180.0);
    const Domain domain = cube_around(params.bbox_min, params.bbox_max);
    b.tree.origin = domain.origin;
    b.tree.size = domain.size;
    b.tree.iso_value = params.iso_value;
    b.tree.min_depth = params.min_depth;
    b.tree.max_depth = params.max_depth;
    b.fd_step = 0.01 * b.tree.finest_edge();

    sample_first_lattice(b);
    b.tree.root = assemble(b, CellKey{});
    field.poll();
    if (params.min_depth < params.max_depth) {
        refine_levels(b);
        if (params.balance)
            b.eval_count += balance_octree(field, b.tree, b.cache);
        else
            band_refinement(b);
    }
    return {std::move(b.tree), b.eval_count};
}

}  // namespace quarvel
