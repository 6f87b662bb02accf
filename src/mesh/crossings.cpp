// The crossing-pair search of the mesh check: a uniform grid of cells taken
// one slab (a layer of cells across x) at a time, candidate pairs tested on
// float boxes in cell units, then on the triangles' planes and edges; cells
// holding many triangles searched further on their own (crowded_cells.cpp).
#include "mesh/check.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "core/monitor.hpp"
#include "core/parallel.hpp"
#include "mesh/box_grid.hpp"
#include "mesh/crossing_tests.hpp"
#include "mesh/crowded_cells.hpp"

namespace quarvel {

namespace {

using detail::Aabb;
using detail::BoxGrid;
using detail::box_of;
using detail::CrowdedItem;
using detail::Facet;
using detail::FoundPairs;
using detail::live_box;
using detail::Member;

// A box in cell units, rounded outward to float. The conversion and the
// rounding are monotone, so boxes that overlap in world coordinates overlap
// here too; the pair loop tests most candidates on these, a quarter of the
// bytes, and the few that pass again on the exact boxes.
struct CellBox {
    std::array<float, 3> lo, hi;
};

// For x >= 0 (cell units are): a float one step from a non-negative one is
// its bit pattern plus or minus one. Without branches: the nearest float
// lies on either side of x about as often, which a branch would mispredict.
float round_down(double x) {
    const float f = static_cast<float>(x);
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) - std::uint32_t{f > x});
}
float round_up(double x) {
    const float f = static_cast<float>(x);
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) + std::uint32_t{f < x});
}

// The grid: cells of edge 1 / `scale` from `origin`, at most 2^21 per axis.
struct Grid {
    Vec3 origin{};
    double scale = 1.0;
    static constexpr std::uint32_t AXIS = std::uint32_t{1} << 21;

    // Cell units, clamped into [0, AXIS] (monotone too, and within float's range).
    double units(double x, int a) const {
        return std::clamp((x - origin[a]) * scale, 0.0, static_cast<double>(AXIS));
    }
    CellBox cell_box(const Aabb& b) const {
        CellBox c;
        for (int a = 0; a < 3; ++a) {
            c.lo[a] = round_down(units(b.lo[a], a));
            c.hi[a] = round_up(units(b.hi[a], a));
        }
        return c;
    }
    // The cell holding a coordinate in cell units.
    static std::uint32_t index(float u) { return static_cast<std::uint32_t>(std::min(u, AXIS - 1.0f)); }
};

// An array left uninitialised, for the large ones a parallel pass fills
// completely before anything reads them: initialising them first would be a
// serial pass over them for nothing.
template <class T>
class Unfilled {
public:
    explicit Unfilled(std::size_t n = 0) : data_(std::make_unique_for_overwrite<T[]>(n)), size_(n) {}
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* data() const { return data_.get(); }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_;
};

// The triangles searched, in increasing order; the box around them all, and
// their boxes' largest extents summed.
struct Live {
    std::vector<std::uint64_t> index;
    Aabb all{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
    double extent = 0.0;
};

// Triangles per block of a parallel pass over them: fixed, so that sums
// combined block by block are the same for any number of threads.
constexpr std::size_t BLOCK = std::size_t{1} << 14;

std::size_t blocks_of(std::size_t n) { return (n + BLOCK - 1) / BLOCK; }

// The positions of block `block` among n.
struct Block {
    std::size_t begin, end;
};
Block block_of(std::size_t block, std::size_t n) { return {block * BLOCK, std::min(n, (block + 1) * BLOCK)}; }

// The live triangles t for which wanted(t) holds; `wanted` runs in parallel.
template <class Wanted>
Live live_triangles(std::span<const Vec3> v, std::span<const Triangle> triangles, Wanted&& wanted) {
    const std::vector<Live> parts = parallel_map<Live>(
        blocks_of(triangles.size()),
        [&](std::size_t block) {
            Live part;
            const auto [begin, end] = block_of(block, triangles.size());
            for (std::uint64_t t = begin; t < end; ++t) {
                if (!wanted(t)) continue;
                const std::optional<Aabb> b = live_box(v, triangles[t]);
                if (!b) continue;
                part.index.push_back(t);
                for (int a = 0; a < 3; ++a) {
                    part.all.lo[a] = std::min(part.all.lo[a], b->lo[a]);
                    part.all.hi[a] = std::max(part.all.hi[a], b->hi[a]);
                }
                const Vec3 d = sub(b->hi, b->lo);
                part.extent += std::max({d[0], d[1], d[2]});
            }
            return part;
        },
        2);
    Live live;
    std::size_t total = 0;
    for (const Live& part : parts) total += part.index.size();
    live.index.reserve(total);
    for (const Live& part : parts) {
        live.index.insert(live.index.end(), part.index.begin(), part.index.end());
        for (int a = 0; a < 3; ++a) {
            live.all.lo[a] = std::min(live.all.lo[a], part.all.lo[a]);
            live.all.hi[a] = std::max(live.all.hi[a], part.all.hi[a]);
        }
        live.extent += part.extent;
    }
    return live;
}

// The live triangles' boxes in cell units, on cells about twice the mean
// triangle's largest extent, grown until no more than 16 grid entries per
// triangle are needed (a few huge triangles among many small ones would
// otherwise cover too many cells).
Unfilled<CellBox> cell_boxes(std::span<const Vec3> v, std::span<const Triangle> triangles, const Live& live) {
    const std::size_t n = live.index.size();
    Grid grid{live.all.lo};
    const Vec3 span3 = sub(live.all.hi, live.all.lo);
    const double span = std::max({span3[0], span3[1], span3[2]});
    double cell = std::max({2.0 * live.extent / static_cast<double>(n), span / (Grid::AXIS - 1), 1e-300});
    // Coordinates near the ends of the double range: one cell, and units never NaN.
    if (!std::isfinite(cell)) cell = DBL_MAX;
    Unfilled<CellBox> boxes(n);
    for (;;) {
        grid.scale = 1.0 / cell;
        const std::vector<std::uint64_t> covered = parallel_map<std::uint64_t>(
            blocks_of(n),
            [&](std::size_t block) {
                std::uint64_t cells = 0;
                const auto [begin, end] = block_of(block, n);
                for (std::size_t i = begin; i < end; ++i) {
                    const CellBox& b = boxes[i] = grid.cell_box(box_of(v, triangles[live.index[i]]));
                    std::uint64_t c = 1;
                    for (int a = 0; a < 3; ++a) c *= Grid::index(b.hi[a]) - Grid::index(b.lo[a]) + 1;
                    cells += c;
                }
                return cells;
            },
            2);
        std::uint64_t entries = 0;
        for (std::uint64_t c : covered) entries += c;
        if (entries <= 16 * n || cell >= DBL_MAX / 2) return boxes;
        cell *= 2.0;
    }
}

// The cells of a grid over the focused triangles' boxes that those boxes
// reach, a bit each. Cells are about twice the focused triangles' mean
// extent, coarser where that would take more than 2^24 cells or 16 per
// focused triangle. A box maps to cells monotonically, so two boxes that
// overlap share a cell.
class FocusCells {
public:
    FocusCells(std::span<const Vec3> v, std::span<const Triangle> triangles, const Live& focused) {
        const std::size_t n = focused.index.size();
        const auto each_box = [&](auto&& visit) {
            for (std::uint64_t t : focused.index) visit(box_of(v, triangles[t]));
        };
        const std::optional<BoxGrid> grid =
            BoxGrid::fit(focused.all, 2.0 * focused.extent / static_cast<double>(n), double{1 << 24}, n, each_box);
        // Coordinates near the ends of the double range: every triangle is kept.
        if (!grid) return;
        grid_ = *grid;
        bits_.assign((grid_.size() + 63) / 64, 0);
        each_box([&](const Aabb& b) {
            grid_.cells(b).each([&](std::uint64_t c) { bits_[c / 64] |= std::uint64_t{1} << c % 64; });
        });
    }

    // False when the grid could not be laid (coordinates near the ends of
    // the double range): every live triangle is then near.
    bool marked() const { return !bits_.empty(); }

    // A vertex's cell along each axis, clamped into [-1, dims]; `live` false
    // for a vertex that is not finite.
    struct Place {
        std::array<std::int32_t, 3> cell;
        bool live;
    };

    // Each vertex's place, so that a triangle's range is the integer minimum
    // and maximum of its corners' (cells are monotone in the coordinates),
    // without a box and six floors per triangle.
    std::vector<Place> places(std::span<const Vec3> v) const {
        return parallel_map<Place>(v.size(), [&](std::size_t i) {
            Place p{{}, is_finite(v[i])};
            for (int a = 0; a < 3 && p.live; ++a) {
                const double c = std::floor((v[i][a] - grid_.origin[a]) * grid_.scale);
                const double dim = static_cast<double>(grid_.dims[a]);
                p.cell[a] = static_cast<std::int32_t>(c < 0.0 ? -1.0 : c > dim ? dim : c);
            }
            return p;
        });
    }

    // Whether a live triangle's box, given by its corners' places, may touch
    // a focused triangle's box: it shares a marked cell, or it covers too
    // many cells to test them.
    bool near(const Place& p, const Place& q, const Place& s) const {
        const std::array<std::uint64_t, 3>& dims = grid_.dims;
        BoxGrid::Range r;
        r.dims = dims;
        bool small = true;
        for (int a = 0; a < 3; ++a) {
            const std::int32_t lo = std::min({p.cell[a], q.cell[a], s.cell[a]});
            const std::int32_t hi = std::max({p.cell[a], q.cell[a], s.cell[a]});
            if (hi < 0 || lo >= static_cast<std::int32_t>(dims[a])) return false;
            r.lo[a] = static_cast<std::uint64_t>(std::max(lo, 0));
            r.hi[a] = static_cast<std::uint64_t>(std::min(hi, static_cast<std::int32_t>(dims[a]) - 1));
            small = small && r.hi[a] - r.lo[a] <= 1;
        }
        if (!small) return near(r);
        // At most two cells along each axis (nearly every triangle): the
        // eight corners of the range, some of them twice, without branches.
        const std::uint64_t x[2] = {r.lo[0], r.hi[0]}, y[2] = {r.lo[1], r.hi[1]}, z[2] = {r.lo[2], r.hi[2]};
        std::uint64_t hit = 0;
        for (int i = 0; i < 8; ++i) {
            const std::uint64_t c = (x[i & 1] * dims[1] + y[i >> 1 & 1]) * dims[2] + z[i >> 2];
            hit |= bits_[c / 64] >> c % 64;
        }
        return hit & 1u;
    }

private:
    bool near(const BoxGrid::Range& r) const {
        if (r.empty) return false;
        if (r.count() > 64) return true;
        bool hit = false;
        r.each([&](std::uint64_t c) { hit = hit || (bits_[c / 64] >> c % 64 & 1u); });
        return hit;
    }

    BoxGrid grid_;
    std::vector<std::uint64_t> bits_;  // a bit per cell; empty where no grid was laid
};

// With a focus, only the live triangles whose boxes may touch a focused
// one's can pair with it; every pair the whole search would find with a
// focused triangle lies within these.
Live near_focus(std::span<const Vec3> v, std::span<const Triangle> triangles, std::span<const std::uint8_t> focus) {
    const Live focused = live_triangles(v, triangles, [&](std::uint64_t t) { return focus[t] != 0; });
    if (focused.index.empty()) return focused;
    const FocusCells cells(v, triangles, focused);
    if (!cells.marked()) return live_triangles(v, triangles, [](std::uint64_t) { return true; });
    const std::vector<FocusCells::Place> at = cells.places(v);
    const std::vector<std::uint8_t> kept = parallel_map<std::uint8_t>(triangles.size(), [&](std::size_t t) {
        if (focus[t]) return std::uint8_t{1};
        const Triangle& tri = triangles[t];
        const FocusCells::Place &p = at[tri[0]], &q = at[tri[1]], &s = at[tri[2]];
        return std::uint8_t{!degenerate(tri) && p.live && q.live && s.live && cells.near(p, q, s)};
    });
    return live_triangles(v, triangles, [&](std::uint64_t t) { return kept[t] != 0; });
}

// The live triangles (positions in `live`) by the x slab of cells each
// covers: slab x holds items[start[x]] to items[start[x + 1]], in increasing order.
struct Slabs {
    std::vector<std::uint64_t> start;
    Unfilled<std::uint64_t> items;
};

// Counted and filled in parallel by blocks of boxes: block b's items of slab
// x go after those of the blocks before it, so each slab stays in order. The
// blocks are fewer where the slabs are many, to bound the table of counts.
Slabs slabs_of(const Unfilled<CellBox>& boxes) {
    const std::size_t n = boxes.size();
    const std::vector<std::uint32_t> ends = parallel_map<std::uint32_t>(
        blocks_of(n),
        [&](std::size_t block) {
            std::uint32_t slabs = 0;
            const auto [begin, end] = block_of(block, n);
            for (std::size_t i = begin; i < end; ++i) slabs = std::max(slabs, Grid::index(boxes[i].hi[0]) + 1);
            return slabs;
        },
        2);
    const std::size_t count = *std::max_element(ends.begin(), ends.end());
    const std::size_t blocks = std::clamp<std::size_t>(n / BLOCK, 1, std::max<std::size_t>(1, (1u << 20) / count));
    const auto each_item = [&](auto&& visit) {
        parallel_for(
            blocks,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t b = begin; b < end; ++b)
                    for (std::uint64_t i = n * b / blocks; i < n * (b + 1) / blocks; ++i)
                        for (std::uint32_t x = Grid::index(boxes[i].lo[0]); x <= Grid::index(boxes[i].hi[0]); ++x)
                            visit(b * count + x, i);
            },
            2);
    };
    // next[b * count + x]: block b's items in slab x, then the place of its next one.
    std::vector<std::uint64_t> next(blocks * count, 0);
    each_item([&](std::size_t at, std::uint64_t) { ++next[at]; });
    Slabs s;
    s.start.assign(count + 1, 0);
    std::uint64_t total = 0;
    for (std::size_t x = 0; x < count; ++x) {
        s.start[x] = total;
        for (std::size_t b = 0; b < blocks; ++b) total += std::exchange(next[b * count + x], total);
    }
    s.start[count] = total;
    s.items = Unfilled<std::uint64_t>(total);
    each_item([&](std::size_t at, std::uint64_t i) { s.items[next[at]++] = i; });
    return s;
}

// One slab's triangles by cell: a (y, z) cell key and the triangle's place among the slab's members.
struct Entry {
    std::uint64_t key;
    std::uint64_t item;
    bool operator<(const Entry& o) const { return key != o.key ? key < o.key : item < o.item; }
};

// The triangles in the cells of one slab, as the pair loop reads them, a
// column per field, so that one triangle's tests against the others of its
// cell run as vector operations: its box, four flags, and its place among
// the slab's members. Flag bits 0 to 2 are set where the box begins in this
// cell along x, y or z. Two boxes that both reach the cell overlap from the
// later of their first cells on, so the cell holds the low corner of their
// overlap exactly when every axis has a bit set in one triangle's flags or
// the other's. Bit 3 marks a focused triangle (every one without a focus).
struct CellColumns {
    static constexpr std::uint32_t ALL = 15;
    std::array<std::vector<float>, 3> lo, hi;
    std::vector<std::uint32_t> flags;
    std::vector<std::uint64_t> slot;

    void resize(std::size_t n) {
        for (int a = 0; a < 3; ++a) {
            lo[a].resize(n);
            hi[a].resize(n);
        }
        flags.resize(n);
        slot.resize(n);
    }
};

// Finds the crossing pairs within the slabs of one stretch, reusing its buffers.
struct SlabSearch {
    std::span<const Vec3> vertices;
    std::span<const Triangle> triangles;
    std::span<const std::uint8_t> focus;
    const CrossingSearch& options;
    const std::vector<std::uint64_t>& live;
    const Unfilled<CellBox>& boxes;
    const Slabs& slabs;
    // The slab's triangles that have entries, in slab order: box, and corners,
    // plane and index; its entries (naming them by that order) sorted by cell.
    std::vector<CellBox> local;
    std::vector<Member> members;
    std::vector<Entry> entries, sorted;
    CellColumns cell_view;
    std::vector<std::uint64_t> count, focus_cells;

    bool focused(std::uint64_t t) const { return focus.empty() || focus[t]; }

    template <class Visit>
    static void for_each_cell(const CellBox& b, Visit&& visit) {
        for (std::uint64_t y = Grid::index(b.lo[1]); y <= Grid::index(b.hi[1]); ++y)
            for (std::uint64_t z = Grid::index(b.lo[2]); z <= Grid::index(b.hi[2]); ++z) visit((y << 21) | z);
    }

    void search(std::uint32_t x, FoundPairs& out) {
        check_stop(options.stop);
        const std::span<const std::uint64_t> items(slabs.items.data() + slabs.start[x],
                                                   slabs.start[x + 1] - slabs.start[x]);
        // With a focus, only the cells of focused triangles are searched.
        focus_cells.clear();
        if (!focus.empty()) {
            for (std::uint64_t i : items)
                if (focus[live[i]]) for_each_cell(boxes[i], [&](std::uint64_t key) { focus_cells.push_back(key); });
            if (focus_cells.empty()) return;
            std::sort(focus_cells.begin(), focus_cells.end());
            focus_cells.erase(std::unique(focus_cells.begin(), focus_cells.end()), focus_cells.end());
        }
        entries.clear();
        local.clear();
        members.clear();
        for (std::uint64_t i : items) {
            const std::size_t before = entries.size();
            for_each_cell(boxes[i], [&](std::uint64_t key) {
                if (focus.empty() || std::binary_search(focus_cells.begin(), focus_cells.end(), key))
                    entries.push_back({key, members.size()});
            });
            if (entries.size() == before) continue;
            local.push_back(boxes[i]);
            members.push_back({Facet(vertices, triangles[live[i]]), live[i]});
        }
        sort_entries();
        fill_cells(x);
        for (std::size_t begin = 0, end = 0, next_check = kCheckStride; begin < entries.size(); begin = end) {
            if (begin >= next_check) {  // and within a crowded one
                check_active();
                next_check = begin + kCheckStride;
            }
            end = begin + 1;
            while (end < entries.size() && entries[end].key == entries[begin].key) ++end;
            if (end - begin > detail::CROWDED)
                crowded_pairs(begin, end, out);
            else
                cell_pairs(begin, end, out);
        }
    }

    // Entries by cell, each cell's in slab order: a counting sort over the
    // rectangle of cells the slab's entries span where that is dense (nearly
    // always), else a comparison sort.
    void sort_entries() {
        if (entries.empty()) return;
        constexpr std::uint64_t Z = Grid::AXIS - 1;
        std::uint64_t y0 = Grid::AXIS, y1 = 0, z0 = Grid::AXIS, z1 = 0;
        for (const Entry& e : entries) {
            y0 = std::min(y0, e.key >> 21);
            y1 = std::max(y1, e.key >> 21);
            z0 = std::min(z0, e.key & Z);
            z1 = std::max(z1, e.key & Z);
        }
        const std::uint64_t columns = z1 - z0 + 1, cells = (y1 - y0 + 1) * columns;
        if (cells > 4 * entries.size() + 1024) {
            std::sort(entries.begin(), entries.end());
            return;
        }
        const auto cell_of = [&](const Entry& e) { return ((e.key >> 21) - y0) * columns + (e.key & Z) - z0; };
        count.assign(cells + 1, 0);
        for (const Entry& e : entries) ++count[cell_of(e) + 1];
        for (std::uint64_t c = 0; c < cells; ++c) count[c + 1] += count[c];
        sorted.resize(entries.size());
        for (const Entry& e : entries) sorted[count[cell_of(e)]++] = e;
        entries.swap(sorted);
    }

    // The pair loop's view of the sorted entries.
    void fill_cells(std::uint32_t x) {
        cell_view.resize(entries.size());
        for (std::size_t e = 0; e < entries.size(); ++e) {
            const std::uint64_t m = entries[e].item, key = entries[e].key;
            const CellBox& b = local[m];
            for (int a = 0; a < 3; ++a) {
                cell_view.lo[a][e] = b.lo[a];
                cell_view.hi[a][e] = b.hi[a];
            }
            cell_view.flags[e] = std::uint32_t{Grid::index(b.lo[0]) == x} |
                             std::uint32_t{Grid::index(b.lo[1]) == key >> 21} << 1 |
                             std::uint32_t{Grid::index(b.lo[2]) == (key & (Grid::AXIS - 1))} << 2 |
                             std::uint32_t{focused(members[m].triangle)} << 3;
            cell_view.slot[e] = m;
        }
    }

    // Each triangle's partners in the cell are marked first, as vector
    // operations without branches (the flags and box tests pass about one
    // pair in four, at random, which a branch per pair would mispredict
    // half the time), then gathered.
    void cell_pairs(std::size_t begin, std::size_t end, FoundPairs& out) const {
        std::array<std::uint8_t, detail::CROWDED> meets;
        std::array<std::uint32_t, detail::CROWDED> partners;
        const float *lo0 = cell_view.lo[0].data(), *lo1 = cell_view.lo[1].data(), *lo2 = cell_view.lo[2].data();
        const float *hi0 = cell_view.hi[0].data(), *hi1 = cell_view.hi[1].data(), *hi2 = cell_view.hi[2].data();
        const std::uint32_t* flags = cell_view.flags.data();
        for (std::size_t i = begin; i < end; ++i) {
            const float l0 = lo0[i], l1 = lo1[i], l2 = lo2[i], h0 = hi0[i], h1 = hi1[i], h2 = hi2[i];
            const std::uint32_t f = flags[i];
            for (std::size_t j = i + 1; j < end; ++j)
                meets[j - begin] = !(hi0[j] < l0) & !(h0 < lo0[j]) & !(hi1[j] < l1) & !(h1 < lo1[j]) &
                                   !(hi2[j] < l2) & !(h2 < lo2[j]) & (((f | flags[j]) & CellColumns::ALL) == CellColumns::ALL);
            std::size_t found = 0;
            for (std::size_t j = i + 1; j < end; ++j) {
                partners[found] = static_cast<std::uint32_t>(j);
                found += meets[j - begin];
            }
            const Member& m = members[cell_view.slot[i]];
            for (std::size_t k = 0; k < found; ++k) {
                const Member& n = members[cell_view.slot[partners[k]]];
                // The exact boxes last: the float ones rarely let a pair through that they would stop.
                if (!detail::triangles_cross(m.facet, n.facet)) continue;
                if (box_of(m.facet.p).overlaps(box_of(n.facet.p))) out.add(m.triangle, n.triangle);
            }
        }
    }

    // A cell's pairs on the cell's triangles' exact boxes and flags.
    void crowded_pairs(std::size_t begin, std::size_t end, FoundPairs& out) const {
        std::vector<CrowdedItem> items;
        items.reserve(end - begin);
        for (std::size_t e = begin; e < end; ++e)
            items.push_back({box_of(members[cell_view.slot[e]].facet.p), cell_view.flags[e], cell_view.slot[e]});
        detail::crowded_pairs(std::move(items), members, options, out);
    }
};

// The power of two to scale coordinates by so that the tests neither
// overflow nor lose their products to underflow: 0 (no scaling, and so the
// very same decisions) for a box whose extent lies within [2^-64, 2^64],
// else the one that brings its extent near 1. A power of two only moves
// exponents: every decision stays what it would be on the scaled mesh.
int scale_exponent(const Aabb& all) {
    const Vec3 span3 = sub(all.hi, all.lo);
    const double span = std::max({span3[0], span3[1], span3[2]});
    if (span == 0.0 || (span >= 0x1p-64 && span <= 0x1p64)) return 0;
    if (std::isfinite(span)) return -std::ilogb(span);
    // An extent beyond the double range: from the largest coordinate.
    double largest = 0.0;
    for (int a = 0; a < 3; ++a) largest = std::max({largest, std::fabs(all.lo[a]), std::fabs(all.hi[a])});
    return -std::ilogb(largest) - 2;
}

std::vector<Vec3> scaled(std::span<const Vec3> vertices, int exponent) {
    return parallel_map<Vec3>(vertices.size(), [&](std::size_t i) {
        const Vec3& p = vertices[i];
        return Vec3{std::ldexp(p[0], exponent), std::ldexp(p[1], exponent), std::ldexp(p[2], exponent)};
    });
}

// The pairs of every slab, stretch by stretch, several stretches per thread
// since slabs differ in work; each stretch reuses one set of buffers.
CrossingPairs search_slabs(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                           std::span<const std::uint8_t> focus, const CrossingSearch& options, const Live& found) {
    const std::vector<std::uint64_t>& live = found.index;
    if (live.size() < 2) return {};
    const Unfilled<CellBox> boxes = cell_boxes(vertices, triangles, found);
    check_stop(options.stop);
    const Slabs slabs = slabs_of(boxes);
    check_stop(options.stop);
    const std::size_t slab_count = slabs.start.size() - 1;
    const std::size_t stretches = std::min(slab_count, 8 * pool_thread_count());
    std::vector<FoundPairs> parts = parallel_map<FoundPairs>(
        stretches,
        [&](std::size_t k) {
            FoundPairs out(options.listed);
            SlabSearch search{vertices, triangles, focus, options, live, boxes, slabs, {}, {}, {}, {}, {}, {}, {}};
            for (std::size_t x = slab_count * k / stretches; x < slab_count * (k + 1) / stretches; ++x) {
                check_active();  // so that Ctrl-C ends a meshing call between slabs
                search.search(static_cast<std::uint32_t>(x), out);
            }
            out.keep_first();
            return out;
        },
        2);
    CrossingPairs result;
    std::size_t kept = 0;
    for (const FoundPairs& part : parts) kept += part.pairs.size();
    result.listed.reserve(kept);
    for (const FoundPairs& part : parts) {
        result.listed.insert(result.listed.end(), part.pairs.begin(), part.pairs.end());
        result.count += part.count;
        result.complete = result.complete && part.complete;
    }
    if (result.listed.size() > options.listed) {
        std::nth_element(result.listed.begin(), result.listed.begin() + static_cast<std::ptrdiff_t>(options.listed),
                         result.listed.end());
        result.listed.resize(options.listed);
    }
    std::sort(result.listed.begin(), result.listed.end());
    return result;
}

// The triangles a search looks at: every live one, or those near the focus.
Live searched(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
              std::span<const std::uint8_t> focus) {
    return focus.empty() ? live_triangles(vertices, triangles, [](std::uint64_t) { return true; })
                         : near_focus(vertices, triangles, focus);
}

}  // namespace

CrossingPairs find_crossings(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                             const CrossingSearch& options, std::span<const std::uint8_t> focus) {
    const Live found = searched(vertices, triangles, focus);
    if (found.index.size() < 2) return {};
    check_stop(options.stop);
    const int exponent = scale_exponent(found.all);
    if (exponent == 0) return search_slabs(vertices, triangles, focus, options, found);
    const std::vector<Vec3> moved = scaled(vertices, exponent);
    return search_slabs(moved, triangles, focus, options, searched(moved, triangles, focus));
}

std::vector<TrianglePair> intersecting_pairs(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                             std::span<const std::uint8_t> focus) {
    return find_crossings(vertices, triangles, CrossingSearch{}, focus).listed;
}

}  // namespace quarvel
