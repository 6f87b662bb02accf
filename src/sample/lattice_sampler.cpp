#include "sample/lattice_sampler.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <mutex>
#include <new>
#include <utility>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"
#include "eval/sampler.hpp"
#include "sample/point_store.hpp"

namespace quarvel {

namespace {

// The factor assumed is this much above the steepest slope measured: a slope
// seen on a sampled edge is an average, the field may be steeper between.
constexpr double kSlopeMargin = 1.25;
// A slope this many times the factor given says the values are not distances
// (steps, occupancy, a field scaled far up): judging by signs is then the
// honest rule, where proofs would split every cell of the box.
constexpr double kNotDistanceLike = 4.0;
// Slopes read from values rounded to the last bit may exceed the true slope
// by about this much.
constexpr double kRounding = 1e-9;

constexpr unsigned bit(unsigned i, unsigned axis) { return (i >> axis) & 1u; }

// ---------------------------------------------------------------- coverage

// A child is cleared when each of its eight octants, a quarter of the parent
// on each axis, lies strictly inside the empty ball of one parent corner. The
// farthest point of quarter (gx, gy, gz) from corner i lies a/4, b/4, c/4
// parent edges away along the axes, with a = gx + 1 from a low corner and
// 4 - gx from a high one: so each corner covers the quarters whose a^2 + b^2 +
// c^2 is below 16 reach^2, a set that grows through 20 distinct sums.
struct Coverage {
    std::array<unsigned, 20> sums{};  // the distinct sums a^2 + b^2 + c^2, ascending
    // covered[i][t]: the quarters (bit gx + 4 gy + 16 gz) whose sum from corner i is
    // among the t smallest.
    std::array<std::array<std::uint64_t, 21>, 8> covered{};
    std::array<std::uint64_t, 8> child_quarters{};  // the eight quarters of child c

    Coverage() {
        std::array<bool, 49> seen{};
        for (unsigned a = 1; a <= 4; ++a)
            for (unsigned b = 1; b <= 4; ++b)
                for (unsigned c = 1; c <= 4; ++c) seen[a * a + b * b + c * c] = true;
        unsigned n = 0;
        for (unsigned s = 0; s < seen.size(); ++s)
            if (seen[s]) sums[n++] = s;
        if (n != sums.size()) fault("coverage table miscounted");
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned g = 0; g < 64; ++g) {
                unsigned s = 0;
                for (unsigned axis = 0; axis < 3; ++axis) {
                    const unsigned q = (g >> (2 * axis)) & 3u;
                    const unsigned a = bit(i, axis) ? 4 - q : q + 1;
                    s += a * a;
                }
                const auto rank = static_cast<unsigned>(std::find(sums.begin(), sums.end(), s) - sums.begin());
                for (unsigned t = rank + 1; t <= sums.size(); ++t) covered[i][t] |= std::uint64_t{1} << g;
            }
        for (unsigned c = 0; c < 8; ++c)
            for (unsigned o = 0; o < 8; ++o) {
                const unsigned g = (2 * bit(c, 0) + bit(o, 0)) + 4 * (2 * bit(c, 1) + bit(o, 1)) +
                                   16 * (2 * bit(c, 2) + bit(o, 2));
                child_quarters[c] |= std::uint64_t{1} << g;
            }
    }
};

const Coverage& coverage() {
    static const Coverage table;
    return table;
}

// ---------------------------------------------------------------- cells

// A cell: its coordinates among the 2^level cells per axis of its level.
struct Cell {
    std::uint32_t x = 0, y = 0, z = 0;
};

// Cells of one level in z-order (x fastest within each level's triple), the
// order a depth-first walk with children 0..7 meets them.
std::vector<Cell> cells_in_walk_order(unsigned level) {
    const std::uint64_t count = std::uint64_t{1} << (3 * level);
    std::vector<Cell> cells(count);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t code = begin; code < end; ++code) {
            Cell c;
            for (unsigned b = 0; b < level; ++b) {
                c.x |= static_cast<std::uint32_t>((code >> (3 * b)) & 1u) << b;
                c.y |= static_cast<std::uint32_t>((code >> (3 * b + 1)) & 1u) << b;
                c.z |= static_cast<std::uint32_t>((code >> (3 * b + 2)) & 1u) << b;
            }
            cells[code] = c;
        }
    });
    return cells;
}

// Whether cell `a` comes before `b` (same level) in walk order: the axis whose
// coordinates differ in the highest bit decides; on a tie z outranks y, y x.
bool walk_less(const SampledCell& a, const SampledCell& b) {
    auto higher = [](std::uint32_t p, std::uint32_t q) { return p < q && p < (p ^ q); };
    std::uint32_t top = a.z ^ b.z;
    bool less = a.z < b.z;
    if (higher(top, a.y ^ b.y)) top = a.y ^ b.y, less = a.y < b.y;
    if (higher(top, a.x ^ b.x)) less = a.x < b.x;
    return less;
}

bool cell_less(const Cell& a, const Cell& b) {
    return a.z != b.z ? a.z < b.z : a.y != b.y ? a.y < b.y : a.x < b.x;
}

// The corners of face 2 * axis + side: those whose bit `axis` is `side`.
constexpr std::array<std::uint8_t, 6> kFaceCorners = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};

// A first batch that cannot fit in memory is refused up front, as an
// allocation failure, instead of letting the system kill the process.
void check_first_batch_fits(unsigned level) {
    // Per point: its key and slot, the query row, the field's value and its
    // temporaries, the stored value; per cell its key.
    constexpr double bytes_per_point = 12 + 8 + 24 + 2 * 8 + 8 + 12;
    const double side = std::ldexp(1.0, static_cast<int>(level)) + 1.0;
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                          static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (level > 20 || (memory > 0 && side * side * side * bytes_per_point > memory)) throw std::bad_alloc();
}

enum class Mode : std::uint8_t { balls, bounds, signs };

// What judging a cell decided.
enum class Kind : std::uint8_t {
    dropped,  // no surface to look for in it
    surface,  // a finest cell whose corners straddle the iso value
    split,    // its `children` are to be sampled
    bound,    // uniform: its bounds decide
};

struct Verdict {
    Kind kind;
    std::uint8_t sign_mask;
    std::uint8_t children;

    // Unset: a level's verdicts are made without touching them, and each is
    // then judged on the pool.
    Verdict() {}
    Verdict(Kind k, std::uint8_t mask, std::uint8_t open) : kind(k), sign_mask(mask), children(open) {}
};

// A cell whose corner balls cleared some of its children: judged again when
// the factor rises.
struct Cleared {
    Cell cell;
    std::uint8_t level = 0;
    std::uint8_t children = 0;  // the children cleared
    bool straddles = false;
};

// Cells waiting for their corners, by level: sampled in one batch, then judged.
struct Claims {
    std::vector<std::pair<unsigned, std::vector<Cell>>> cells;
};

class Run {
public:
    Run(Evaluator& field, const SampleParams& params, Monitor& monitor)
        : p_(params), field_(field), monitor_(monitor), sampler_(field, 0.0, false), store_(params.max_depth),
          pending_(params.max_depth + 1u), factor_(params.lipschitz) {
        if (!params.guard)
            mode_ = Mode::signs;
        else if (params.bounds && field.eval_bounds({}, {}))
            mode_ = Mode::bounds;
        guard_ = !params.guard ? SampleGuard::off : mode_ == Mode::bounds ? SampleGuard::bounds : SampleGuard::on;
    }

    SampleResult run() {
        const unsigned first = p_.min_depth, last = p_.max_depth;
        check_first_batch_fits(first);
        monitor_.report(Stage::sampling, 0, 1);
        Claims claims;
        claim(first, cells_in_walk_order(first), claims);
        evaluate(claims);
        result_.first_lattice_evaluations = sampler_.evaluations();
        monitor_.report(Stage::sampling, 1, 1);
        for (;;) {
            unsigned level = first;
            while (level <= last && pending_[level].empty()) ++level;
            if (level > last) break;
            monitor_.report(Stage::refining, level - first, last - first + 1u);
            step(level);
        }
        monitor_.report(Stage::refining, last - first + 1u, last - first + 1u);
        finish();
        return std::move(result_);
    }

private:
    // ------------------------------------------------------------ reading

    double edge(unsigned level) const { return p_.size / std::ldexp(1.0, static_cast<int>(level)); }

    LatticePoint corner(const Cell& c, unsigned level, unsigned i) const {
        const unsigned shift = p_.max_depth - level;
        return {(c.x + bit(i, 0)) << shift, (c.y + bit(i, 1)) << shift, (c.z + bit(i, 2)) << shift};
    }

    // Whether cell `c` of `level`, minimum corner `m`, lies in one brick.
    bool in_one_brick(const LatticePoint& m, unsigned level) const {
        const std::uint32_t e = 1u << (p_.max_depth - level);
        constexpr std::uint32_t last = kBrickSide - 1;
        return e <= last && (m.x & last) + e <= last && (m.y & last) + e <= last && (m.z & last) + e <= last;
    }

    // Calls visit(brick, slot) for each corner of `c`, corner order; every
    // brick must exist.
    template <class Visit>
    void for_corners(const Cell& c, unsigned level, Visit&& visit) {
        const LatticePoint m = corner(c, level, 0);
        if (in_one_brick(m, level)) {
            Brick& brick = store_.brick_at(m);
            const unsigned e = 1u << (p_.max_depth - level), at = brick_slot(m.x, m.y, m.z);
            for (unsigned i = 0; i < 8; ++i)
                visit(brick, at + (bit(i, 0) + (bit(i, 1) << kBrickShift) + (bit(i, 2) << (2 * kBrickShift))) * e);
            return;
        }
        for (unsigned i = 0; i < 8; ++i) {
            const LatticePoint p = corner(c, level, i);
            visit(store_.brick_at(p), brick_slot(p.x, p.y, p.z));
        }
    }

    std::array<double, 8> corner_values(const Cell& c, unsigned level) const {
        std::array<double, 8> v;
        const LatticePoint m = corner(c, level, 0);
        if (in_one_brick(m, level)) {
            // Eight reads at fixed strides.
            const std::uint32_t e = 1u << (p_.max_depth - level);
            const double* at = &store_.brick(store_.find(m)).values[brick_slot(m.x, m.y, m.z)];
            const std::size_t sy = std::size_t{e} << kBrickShift, sz = std::size_t{e} << (2 * kBrickShift);
            for (unsigned i = 0; i < 8; ++i) v[i] = at[bit(i, 0) * e + bit(i, 1) * sy + bit(i, 2) * sz];
            return v;
        }
        for (unsigned i = 0; i < 8; ++i) v[i] = store_.value(corner(c, level, i));
        return v;
    }

    Vec3 position(const LatticePoint& k) const {
        const double h = edge(p_.max_depth);
        return {p_.origin[0] + static_cast<double>(k.x) * h, p_.origin[1] + static_cast<double>(k.y) * h,
                p_.origin[2] + static_cast<double>(k.z) * h};
    }

    // The children of a cell of `level` with corner values `v` that the
    // corners' balls leave unproven, for the factor now assumed.
    std::uint8_t unproven(const std::array<double, 8>& v, unsigned level) const {
        const double scale = 1.0 / (factor_ * edge(level));
        std::array<double, 8> reach;
        for (unsigned i = 0; i < 8; ++i) reach[i] = std::isfinite(v[i]) ? std::fabs(v[i] - p_.iso_value) * scale : 0.0;
        return sample_detail::unproven_children(reach);
    }

    // ------------------------------------------------------------ judging

    Verdict judge(const Cell& c, unsigned level, double& slope, bool& infinite) const {
        const std::array<double, 8> v = corner_values(c, level);
        Verdict out(Kind::dropped, 0, 0);
        for (unsigned i = 0; i < 8; ++i) {
            if (v[i] < p_.iso_value) out.sign_mask |= static_cast<std::uint8_t>(1u << i);
            infinite = infinite || std::isinf(v[i]);
        }
        const double inverse_edge = 1.0 / edge(level);
        for (unsigned axis = 0; axis < 3; ++axis)
            for (unsigned i = 0; i < 8; ++i) {
                if (bit(i, axis)) continue;
                const double a = v[i], b = v[i | (1u << axis)];
                if (!std::isfinite(a) || !std::isfinite(b)) continue;
                slope = std::max(slope, std::fabs(a - b) * inverse_edge);
            }
        const bool straddles = out.sign_mask != 0 && out.sign_mask != 255;
        if (level == p_.max_depth) {
            out.kind = straddles ? Kind::surface : Kind::dropped;
            return out;
        }
        if (!straddles && mode_ == Mode::signs) return out;
        if (!straddles && mode_ == Mode::bounds) {
            out.kind = Kind::bound;
            return out;
        }
        out.kind = Kind::split;
        out.children = mode_ == Mode::balls ? unproven(v, level) : std::uint8_t{0xFF};
        return out;
    }

    std::vector<Verdict> judge_all(const std::vector<Cell>& cells, unsigned level, double& slope,
                                   bool& infinite) const {
        std::vector<Verdict> verdicts(cells.size());
        std::mutex merge;
        parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
            double s = 0.0;
            bool inf = false;
            for (std::size_t i = begin; i < end; ++i) verdicts[i] = judge(cells[i], level, s, inf);
            // The largest slope and any infinity do not depend on the slicing.
            std::lock_guard lock(merge);
            slope = std::max(slope, s);
            infinite = infinite || inf;
        });
        return verdicts;
    }

    // The verdicts of one level, after what they taught the guard.
    std::vector<Verdict> judge_level(const std::vector<Cell>& cells, unsigned level, Claims& claims) {
        double slope = 0.0;
        bool infinite = false;
        std::vector<Verdict> verdicts = judge_all(cells, level, slope, infinite);
        result_.cells_judged += cells.size();
        steepest_ = std::max(steepest_, slope);
        if (mode_ != Mode::balls) return verdicts;
        if (infinite || steepest_ > kNotDistanceLike * p_.lipschitz) {
            give_up(infinite ? SampleGuard::infinite_values : SampleGuard::too_steep, claims);
        } else if (steepest_ > factor_) {
            // An exact distance measures its factor give or take rounding: no
            // margin is owed for that.
            factor_ = steepest_ <= factor_ * (1.0 + kRounding) ? steepest_ : kSlopeMargin * steepest_;
            reexamine(claims);
        } else {
            return verdicts;
        }
        double ignored = 0.0;
        bool also_ignored = false;
        return judge_all(cells, level, ignored, also_ignored);
    }

    // Cells cleared under a lower factor, judged again: the children no longer
    // cleared are sampled.
    void reexamine(Claims& claims) {
        const std::vector<std::uint8_t> reopened = parallel_map<std::uint8_t>(cleared_.size(), [&](std::size_t i) {
            const Cleared& c = cleared_[i];
            return static_cast<std::uint8_t>(c.children & unproven(corner_values(c.cell, c.level), c.level));
        });
        std::vector<Cleared> kept;
        for (std::size_t i = 0; i < cleared_.size(); ++i) {
            monitor_.check(i);
            Cleared c = cleared_[i];
            claim_children(c.cell, c.level, reopened[i], claims);
            c.children &= static_cast<std::uint8_t>(~reopened[i]);
            if (c.children) kept.push_back(c);
        }
        cleared_ = std::move(kept);
    }

    // From now on cells are judged by their signs; children cleared inside
    // cells that straddle the iso value are sampled after all, as signs would.
    void give_up(SampleGuard why, Claims& claims) {
        mode_ = Mode::signs;
        guard_ = why;
        for (const Cleared& c : cleared_)
            if (c.straddles) claim_children(c.cell, c.level, c.children, claims);
        cleared_.clear();
    }

    // Uniform cells whose bounds prove them hold no surface; the rest are split.
    void apply_bounds(const std::vector<Cell>& cells, unsigned level, std::vector<Verdict>& verdicts) {
        const std::vector<std::size_t> asked =
            parallel_gather<std::size_t>(cells.size(), [&](std::size_t i, std::vector<std::size_t>& out) {
                if (verdicts[i].kind == Kind::bound) out.push_back(i);
            });
        if (asked.empty()) return;
        // The positions the corners were sampled at, so the box holds every sample.
        const std::vector<Box> boxes = parallel_map<Box>(asked.size(), [&](std::size_t j) {
            return Box{position(corner(cells[asked[j]], level, 0)), position(corner(cells[asked[j]], level, 7))};
        });
        std::vector<Interval> bounds(asked.size());
        if (!field_.eval_bounds(boxes, bounds)) fault("a field that gave bounds gave none");
        result_.cells_bounded += asked.size();
        std::atomic<std::uint64_t> proven{0};
        parallel_for(asked.size(), [&](std::size_t begin, std::size_t end) {
            std::uint64_t here = 0;
            for (std::size_t j = begin; j < end; ++j) {
                Verdict& v = verdicts[asked[j]];
                // NaN bounds compare false: unknown is unproven.
                if (bounds[j].lo > p_.iso_value || bounds[j].hi < p_.iso_value) {
                    v.kind = Kind::dropped;
                    ++here;
                } else {
                    v.kind = Kind::split;
                    v.children = 0xFF;
                }
            }
            proven.fetch_add(here, std::memory_order_relaxed);
        });
        result_.cells_proven += proven.load();
    }

    // ------------------------------------------------------------ one level

    void step(unsigned level) {
        const std::vector<Cell> cells = std::exchange(pending_[level], {});
        Claims claims;
        std::vector<Verdict> verdicts = judge_level(cells, level, claims);
        if (mode_ == Mode::bounds) apply_bounds(cells, level, verdicts);
        if (level == p_.max_depth)
            collect_surface(cells, verdicts, claims);
        else
            split(cells, level, verdicts, claims);
        evaluate(claims);
        monitor_.poll();
    }

    void split(const std::vector<Cell>& cells, unsigned level, const std::vector<Verdict>& verdicts,
               Claims& claims) {
        std::vector<Cell> children = parallel_gather<Cell>(cells.size(), [&](std::size_t i, std::vector<Cell>& out) {
            if (verdicts[i].kind != Kind::split) return;
            for (unsigned c = 0; c < 8; ++c)
                if ((verdicts[i].children >> c) & 1u)
                    out.push_back({2 * cells[i].x + bit(c, 0), 2 * cells[i].y + bit(c, 1), 2 * cells[i].z + bit(c, 2)});
        });
        if (mode_ == Mode::balls)
            for (std::size_t i = 0; i < cells.size(); ++i) {
                const Verdict& v = verdicts[i];
                if (v.kind == Kind::split && v.children != 0xFF)
                    cleared_.push_back({cells[i], static_cast<std::uint8_t>(level),
                                        static_cast<std::uint8_t>(~v.children), v.sign_mask != 0 && v.sign_mask != 255});
            }
        claim(level + 1, std::move(children), claims);
    }

    // The finest cells found, and their neighbours across each face whose
    // corner signs change: those hold surface too, and must be judged.
    void collect_surface(const std::vector<Cell>& cells, const std::vector<Verdict>& verdicts, Claims& claims) {
        const std::uint64_t side = std::uint64_t{1} << p_.max_depth;
        std::vector<SampledCell> found = parallel_gather<SampledCell>(
            cells.size(), [&](std::size_t i, std::vector<SampledCell>& out) {
                if (verdicts[i].kind != Kind::surface) return;
                const Cell& c = cells[i];
                out.push_back({c.x, c.y, c.z, verdicts[i].sign_mask});
            });
        std::vector<std::array<double, 8>> values = parallel_map<std::array<double, 8>>(
            found.size(), [&](std::size_t i) { return corner_values({found[i].x, found[i].y, found[i].z}, p_.max_depth); });
        std::vector<Cell> beside = parallel_gather<Cell>(found.size(), [&](std::size_t i, std::vector<Cell>& out) {
            const SampledCell& c = found[i];
            for (unsigned f = 0; f < 6; ++f) {
                const unsigned on_face = c.sign_mask & kFaceCorners[f];
                if (on_face == 0 || on_face == kFaceCorners[f]) continue;
                const unsigned axis = f / 2;
                std::array<std::uint64_t, 3> n = {c.x, c.y, c.z};
                if (f % 2 == 0 && n[axis] == 0) continue;
                n[axis] = f % 2 == 0 ? n[axis] - 1 : n[axis] + 1;
                if (n[axis] >= side) continue;
                out.push_back({static_cast<std::uint32_t>(n[0]), static_cast<std::uint32_t>(n[1]),
                               static_cast<std::uint32_t>(n[2])});
            }
        });
        // Most cells come in one step: taken whole, no copy.
        if (result_.cells.empty()) {
            result_.cells = std::move(found);
            result_.values = std::move(values);
        } else {
            result_.cells.insert(result_.cells.end(), found.begin(), found.end());
            result_.values.insert(result_.values.end(), values.begin(), values.end());
        }
        claim(p_.max_depth, std::move(beside), claims, true);
    }

    // ------------------------------------------------------------ sampling

    void claim_children(const Cell& cell, unsigned level, std::uint8_t children, Claims& claims) {
        std::vector<Cell> out;
        for (unsigned c = 0; c < 8; ++c)
            if ((children >> c) & 1u)
                out.push_back({2 * cell.x + bit(c, 0), 2 * cell.y + bit(c, 1), 2 * cell.z + bit(c, 2)});
        claim(level + 1, std::move(out), claims);
    }

    // Queues `cells` of `level` to be judged once their corners not yet
    // sampled are. A finest cell is queued once, however often asked for;
    // only `may_repeat` lists hold a cell twice.
    void claim(unsigned level, std::vector<Cell> cells, Claims& claims, bool may_repeat = false) {
        if (windowed_) cells = in_window(std::move(cells), level);
        if (level == p_.max_depth) cells = unjudged(std::move(cells), may_repeat);
        if (cells.empty()) return;
        make_bricks(level, cells);
        // Which thread claims a point shared by two cells does not matter:
        // the batch lists the claims brick by brick.
        parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k)
                for_corners(cells[k], level, [](Brick& brick, unsigned slot) {
                    if (Brick::set(brick.claimed, slot))
                        std::atomic_ref<std::uint8_t>(brick.fresh_claims).store(1, std::memory_order_relaxed);
                });
        });
        claims.cells.emplace_back(level, std::move(cells));
    }

    bool covers_cube() const {
        const std::uint64_t side = std::uint64_t{1} << p_.max_depth;
        for (unsigned a = 0; a < 3; ++a)
            if (p_.window_lo[a] > 0 || p_.window_hi[a] < side) return false;
        return true;
    }

    // The cells of `cells` that reach into the window.
    std::vector<Cell> in_window(std::vector<Cell> cells, unsigned level) const {
        const unsigned shift = p_.max_depth - level;
        return parallel_filter(std::span<const Cell>(cells), [&](std::size_t k) {
            const std::array<std::uint64_t, 3> c = {cells[k].x, cells[k].y, cells[k].z};
            for (unsigned a = 0; a < 3; ++a)
                if (((c[a] + 1) << shift) <= p_.window_lo[a] || (c[a] << shift) >= p_.window_hi[a]) return false;
            return true;
        });
    }

    // The finest cells of `cells` not judged or queued yet, now marked queued.
    std::vector<Cell> unjudged(std::vector<Cell> cells, bool may_repeat) {
        const unsigned level = p_.max_depth;
        cells = parallel_filter(std::span<const Cell>(cells), [&](std::size_t k) {
            const LatticePoint m = corner(cells[k], level, 0);
            const std::uint32_t id = store_.find(m);
            return id == PointStore::NONE || !Brick::test(store_.brick(id).judged, brick_slot(m.x, m.y, m.z));
        });
        if (may_repeat) {
            std::sort(cells.begin(), cells.end(), cell_less);
            cells.erase(std::unique(cells.begin(), cells.end(),
                                    [](const Cell& a, const Cell& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }),
                        cells.end());
        }
        make_bricks(level, cells);
        parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const LatticePoint m = corner(cells[k], level, 0);
                Brick::set(store_.brick_at(m).judged, brick_slot(m.x, m.y, m.z));
            }
        });
        return cells;
    }

    // Makes the bricks that hold corners of `cells` and do not exist yet, in
    // the order the cells first need them.
    void make_bricks(unsigned level, const std::vector<Cell>& cells) {
        const std::vector<LatticePoint> missing = parallel_gather<LatticePoint>(
            cells.size(), [&](std::size_t k, std::vector<LatticePoint>& out) {
                const LatticePoint m = corner(cells[k], level, 0);
                if (in_one_brick(m, level)) {
                    if (store_.find(m) == PointStore::NONE) out.push_back(m);
                    return;
                }
                for (unsigned i = 0; i < 8; ++i) {
                    const LatticePoint p = corner(cells[k], level, i);
                    if (store_.find(p) == PointStore::NONE) out.push_back(p);
                }
            });
        store_.add_bricks(missing);
    }

    // One field call for every point claimed, brick by brick; their cells
    // then wait to be judged.
    void evaluate(Claims& claims) {
        // Each fresh point as its brick's number and its place there.
        const std::vector<std::uint64_t> fresh = parallel_gather<std::uint64_t>(
            store_.brick_count(), [&](std::size_t id, std::vector<std::uint64_t>& out) {
                Brick& brick = store_.brick(static_cast<std::uint32_t>(id));
                if (!brick.fresh_claims) return;
                for (unsigned w = 0; w < kBrickWords; ++w)
                    for (std::uint64_t bits = brick.claimed[w] & ~brick.sampled[w]; bits; bits &= bits - 1)
                        out.push_back(std::uint64_t{id} << 32 | (64 * w + static_cast<unsigned>(std::countr_zero(bits))));
            });
        const std::size_t n = fresh.size();
        auto point_of = [&](std::uint64_t f, Brick*& brick) {
            brick = &store_.brick(static_cast<std::uint32_t>(f >> 32));
            const auto slot = static_cast<std::uint32_t>(f & 0xFFFFFFFFu);
            const LatticePoint& o = brick->origin;
            return LatticePoint{o.x + (slot & (kBrickSide - 1)), o.y + ((slot >> kBrickShift) & (kBrickSide - 1)),
                                o.z + (slot >> (2 * kBrickShift))};
        };
        sampler_.values(
            n,
            [&](std::span<Vec3> out) {
                parallel_for(n, [&](std::size_t begin, std::size_t end) {
                    Brick* brick = nullptr;
                    for (std::size_t i = begin; i < end; ++i) out[i] = position(point_of(fresh[i], brick));
                });
            },
            [&](std::span<const double> values) {
                if (values.size() < n) index_fault(values.size(), values.size());
                parallel_for(n, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i)
                        store_.brick(static_cast<std::uint32_t>(fresh[i] >> 32)).values[fresh[i] & 0xFFFFFFFFu] = values[i];
                });
            });
        parallel_for(store_.brick_count(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t id = begin; id < end; ++id) {
                Brick& brick = store_.brick(static_cast<std::uint32_t>(id));
                if (!brick.fresh_claims) continue;
                brick.sampled = brick.claimed;
                brick.fresh_claims = 0;
            }
        });
        monitor_.poll();
        for (auto& [level, cells] : claims.cells) {
            std::vector<Cell>& waiting = pending_[level];
            if (waiting.empty())
                waiting = std::move(cells);
            else
                waiting.insert(waiting.end(), cells.begin(), cells.end());
        }
        claims = Claims{};
    }

    // ------------------------------------------------------------ result

    void finish() {
        std::vector<SampledCell>& cells = result_.cells;
        // Cells judged again or found beside others come after their turn.
        if (!std::is_sorted(cells.begin(), cells.end(), walk_less)) {
            std::vector<std::size_t> order(cells.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return walk_less(cells[a], cells[b]); });
            std::vector<SampledCell> sorted(cells.size());
            std::vector<std::array<double, 8>> values(cells.size());
            for (std::size_t i = 0; i < order.size(); ++i) {
                sorted[i] = cells[order[i]];
                values[i] = result_.values[order[i]];
            }
            cells = std::move(sorted);
            result_.values = std::move(values);
        }
        result_.evaluations = sampler_.evaluations();
        result_.guard = guard_;
        result_.steepest = mode_ == Mode::balls ? factor_ : steepest_;
        result_.bricks = store_.brick_count();
    }

    const SampleParams& p_;
    Evaluator& field_;
    Monitor& monitor_;
    FieldSampler sampler_;
    PointStore store_;
    std::vector<std::vector<Cell>> pending_;  // per level: cells sampled, not judged yet
    std::vector<Cleared> cleared_;
    Mode mode_ = Mode::balls;
    SampleGuard guard_ = SampleGuard::off;
    double factor_;          // the Lipschitz factor assumed now
    double steepest_ = 0.0;  // the steepest slope measured on any edge judged
    SampleResult result_;
    bool windowed_ = !covers_cube();
};

}  // namespace

namespace sample_detail {

std::uint8_t unproven_children(const std::array<double, 8>& reach) {
    const Coverage& table = coverage();
    std::uint64_t covered = 0;
    for (unsigned i = 0; i < 8; ++i) {
        // The quarters whose farthest point lies strictly inside the ball.
        const double r = 4.0 * reach[i];
        const double r2 = r * r;
        unsigned t = 0;
        while (t < table.sums.size() && static_cast<double>(table.sums[t]) < r2) ++t;
        covered |= table.covered[i][t];
    }
    std::uint8_t open = 0;
    for (unsigned c = 0; c < 8; ++c)
        if (table.child_quarters[c] & ~covered) open |= static_cast<std::uint8_t>(1u << c);
    return open;
}

}  // namespace sample_detail

SampleResult sample_lattice(Evaluator& field, const SampleParams& params, Monitor& monitor) {
    const Monitor::Active active(&monitor);
    return Run(field, params, monitor).run();
}

}  // namespace quarvel
