#include "mesh/clusters.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "core/parallel.hpp"
#include "core/z_order.hpp"

namespace quarvel {
namespace {

using Face = std::array<std::uint32_t, 3>;
using Cell = std::array<std::int32_t, 3>;

constexpr int kAxisBits = 21;  // a cell's coordinates in a 63-bit z-order code
constexpr int kMaxLevels = 16;
constexpr std::size_t kBlocksPerRun = 1024;
constexpr std::size_t kMaxRuns = 32;
constexpr std::uint32_t kFanMost = 64;
constexpr std::size_t kKeepsTried = 16;
// Block merges may make angles down to 7 degrees, a little below what the
// collapses allow: the vertex a block keeps lies up to half a block off its
// middle, and at 10 degrees a tilted plane stopped merging at blocks of 4x4
// cells. Angles below 5 degrees stay as rare as before on every shape measured.
constexpr double kBlockMinAngleDeg = 7.0;
const double kLeastSin2 = sin2_of_degrees(kBlockMinAngleDeg);

std::uint64_t code_of(const Cell& c) {
    return z_order(static_cast<std::uint32_t>(c[0]), static_cast<std::uint32_t>(c[1]),
                   static_cast<std::uint32_t>(c[2]));
}

bool degenerate(const Face& f) { return f[0] == f[1] || f[1] == f[2] || f[0] == f[2]; }

// Sorts (code, vertex) pairs by code, ties by vertex (they come in vertex
// order): least significant byte first, over the bytes the codes use.
void sort_by_code(std::vector<std::pair<std::uint64_t, std::uint32_t>>& items) {
    std::uint64_t used = 0;
    for (const auto& item : items) used |= item.first;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> spare(items.size());
    for (int shift = 0; shift < 64 && (used >> shift) != 0; shift += 8) {
        std::array<std::size_t, 257> start{};
        for (const auto& item : items) ++start[((item.first >> shift) & 0xff) + 1];
        for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
        for (const auto& item : items) spare[start[(item.first >> shift) & 0xff]++] = item;
        items.swap(spare);
    }
}

enum class Verdict { merged, refused, waits };

struct Span {
    std::uint32_t begin, end;  // vertices [begin, end)
};

// One block's working lists, kept by a thread between the blocks it judges.
struct Scratch {
    std::vector<Face> faces;                                 // the faces around the block, as they are now
    // The rim's directed edges, each with the block's vertex of its face.
    struct RimEdge {
        std::uint32_t from, to, corner;
    };
    std::vector<RimEdge> rim;
    std::vector<TriangleShape> before;                       // per rim edge, its face as it is
    std::vector<std::uint32_t> outside;                      // the faces' corners outside the block, with repeats
    std::vector<std::uint32_t> parent;                       // the block's vertices joined by faces, by union and find
    std::vector<std::uint8_t> reaches;                       // per root: joined to a vertex outside
    std::vector<std::pair<double, std::uint32_t>> keeps;     // vertices that may be kept, nearest the middle first
};

class Blocks {
public:
    Blocks(const TriangleMesh& mesh, double tolerance, const std::vector<std::uint8_t>& held, const BlockGrid& grid)
        : limit_(tolerance * tolerance) {
        const std::size_t nv = mesh.vertices.size();
        input_count_ = nv;
        Vec3 lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
        for (const Vec3& p : mesh.vertices)
            if (is_finite(p))
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], p[k]);
                    hi[k] = std::max(hi[k], p[k]);
                }
        double cell = grid.cell;
        if (cell > 0.0) {
            // Whole cells below the least corner, so that blocks fall on the mesher's lattice.
            for (int k = 0; k < 3; ++k)
                lo[k] = std::min(lo[k], grid.origin[k] + std::floor((lo[k] - grid.origin[k]) / cell) * cell);
        } else {
            double edges = 0.0;
            std::size_t counted = 0;
            for (const Triangle& t : mesh.triangles)
                for (int k = 0; k < 3; ++k) {
                    const double len = length(sub(mesh.vertices[t[k]], mesh.vertices[t[(k + 1) % 3]]));
                    if (std::isfinite(len)) {
                        edges += len;
                        ++counted;
                    }
                }
            cell = counted ? edges / static_cast<double>(counted) : 0.0;
        }
        double extent = 0.0;
        for (int k = 0; k < 3; ++k) extent = std::max(extent, hi[k] - lo[k]);
        cell = std::max(cell, extent / static_cast<double>(1 << (kAxisBits - 1)));
        usable_ = cell > 0.0 && std::isfinite(cell);

        // Vertices in z-order of their cells, so that every block of every
        // level holds a run of them.
        std::vector<Cell> cells(nv, Cell{0, 0, 0});
        std::vector<std::pair<std::uint64_t, std::uint32_t>> order(nv);
        parallel_for(nv, [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v) {
                const Vec3& p = mesh.vertices[v];
                if (usable_ && is_finite(p))
                    for (int k = 0; k < 3; ++k)
                        cells[v][k] = static_cast<std::int32_t>(
                            std::clamp((p[k] - lo[k]) / cell, 0.0, static_cast<double>((1 << kAxisBits) - 1)));
                order[v] = {code_of(cells[v]), static_cast<std::uint32_t>(v)};
            }
        });
        sort_by_code(order);
        from_.resize(nv);
        point_.resize(nv);
        cell_.resize(nv);
        held_.resize(nv);
        stuck_.resize(nv);
        if (!mesh.normals.empty()) normal_.resize(nv);
        parallel_for(nv, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint32_t v = order[i].second;
                from_[v] = static_cast<std::uint32_t>(i);
                point_[i] = mesh.vertices[v];
                cell_[i] = cells[v];
                held_[i] = held[v];
                stuck_[i] = held[v] || !is_finite(point_[i]);
                if (!normal_.empty()) normal_[i] = mesh.normals[v];
            }
        });
        faces_.resize(mesh.triangles.size());
        parallel_for(faces_.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t f = begin; f < end; ++f)
                for (int k = 0; k < 3; ++k) faces_[f][k] = from_[mesh.triangles[f][k]];
        });
        // Faces by their least vertex, so that a block's faces lie together in memory.
        {
            std::vector<std::uint32_t> start(nv + 1, 0);
            const auto least = [](const Face& f) { return std::min({f[0], f[1], f[2]}); };
            for (const Face& f : faces_) ++start[least(f) + 1];
            for (std::size_t v = 0; v < nv; ++v) start[v + 1] += start[v];
            std::vector<Face> sorted(faces_.size());
            for (const Face& f : faces_) sorted[start[least(f)]++] = f;
            faces_.swap(sorted);
        }
        // A face that repeats a vertex is no triangle to reason about: its vertices stay.
        for (const Face& f : faces_)
            if (degenerate(f))
                for (std::uint32_t v : f) stuck_[v] = 1;
        index_faces();
        quadric_ = std::vector<Quadric>(nv);
        std::vector<Plane> planes(faces_.size());
        parallel_for(faces_.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t f = begin; f < end; ++f)
                planes[f] = Plane::of(point_[faces_[f][0]], point_[faces_[f][1]], point_[faces_[f][2]]);
        });
        parallel_for(nv, [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v)
                for (std::uint32_t i = first_[v]; i < first_[v + 1]; ++i) {
                    const Plane& p = planes[around_[i]];
                    quadric_[v].add(Quadric::of_plane(p.n, p.d));
                }
        });
    }

    void run(Monitor& monitor) {
        if (!usable_) return;
        for (int level = 1; level <= kMaxLevels; ++level) {
            monitor.poll();
            const std::size_t before = point_.size();
            if (merge_level(level) * 50 < before) break;  // under 2% gained: the rest is for the collapses
        }
    }

    Clustered take() && {
        Clustered out;
        out.merged = input_count_ - point_.size();
        out.mesh.vertices = std::move(point_);
        out.mesh.normals = std::move(normal_);
        out.mesh.triangles.resize(faces_.size());
        for (std::size_t f = 0; f < faces_.size(); ++f)
            out.mesh.triangles[f] = {faces_[f][0], faces_[f][1], faces_[f][2]};
        out.quadric = std::move(quadric_);
        out.held = std::move(held_);
        out.from = std::move(from_);
        return out;
    }

private:
    // Judges every block of `level`, then keeps what is left. Returns the
    // vertices merged.
    //
    // The blocks are cut into runs of whole blocks in z-order, a number that
    // depends on the mesh alone. Each run is judged on its own, block after
    // block in z-order (so what a block reads was written just before, and is
    // still in cache), in parallel with the others. A block whose faces reach
    // a vertex of another run waits; those are judged again in runs cut
    // halfway between, and what still waits last, in z-order.
    std::size_t merge_level(int level) {
        const std::size_t nv = point_.size();
        rep_.resize(nv);
        for (std::uint32_t v = 0; v < nv; ++v) rep_[v] = v;
        std::vector<std::uint32_t> starts;  // of every block, then nv
        const auto block_of = [&](std::uint32_t v) {
            return Cell{cell_[v][0] >> level, cell_[v][1] >> level, cell_[v][2] >> level};
        };
        for (std::uint32_t v = 0; v < nv;) {
            starts.push_back(v);
            const Cell b = block_of(v);
            while (++v < nv && block_of(v) == b) {
            }
        }
        const std::size_t blocks = starts.size();
        starts.push_back(static_cast<std::uint32_t>(nv));
        const std::size_t runs = std::clamp<std::size_t>(blocks / kBlocksPerRun, 1, kMaxRuns);
        std::vector<std::uint32_t> todo;
        for (std::uint32_t i = 0; i < blocks; ++i)
            if (starts[i + 1] - starts[i] >= 2) todo.push_back(i);
        std::vector<std::size_t> cuts(runs + 1), shifted(runs + 2);
        for (std::size_t r = 0; r <= runs; ++r) cuts[r] = blocks * r / runs;
        shifted[0] = 0;
        for (std::size_t r = 0; r < runs; ++r) shifted[r + 1] = blocks * (2 * r + 1) / (2 * runs);
        shifted[runs + 1] = blocks;
        std::size_t total = judge_runs(todo, cuts, starts);
        // Those that waited lie near the runs' ends, so mostly within runs cut halfway between.
        if (!todo.empty()) total += judge_runs(todo, shifted, starts);
        Scratch scratch;
        const Span everything{0, static_cast<std::uint32_t>(nv)};
        for (std::uint32_t i : todo)
            if (merge(starts[i], starts[i + 1], everything, scratch) == Verdict::merged)
                total += starts[i + 1] - starts[i] - 1;
        if (total) keep_survivors();
        return total;
    }

    // Judges the blocks `todo` (by number, in order) run by run, in parallel,
    // the runs cut at block numbers `cuts`. Returns the vertices merged and
    // leaves in `todo` the blocks that wait.
    std::size_t judge_runs(std::vector<std::uint32_t>& todo, const std::vector<std::size_t>& cuts,
                           const std::vector<std::uint32_t>& starts) {
        const std::size_t runs = cuts.size() - 1;
        std::vector<std::size_t> merged(runs, 0);
        std::vector<std::vector<std::uint32_t>> waiting(runs);
        parallel_for(
            runs,
            [&](std::size_t first, std::size_t last) {
                Scratch scratch;
                for (std::size_t r = first; r < last; ++r) {
                    const Span run{starts[cuts[r]], starts[cuts[r + 1]]};
                    auto i = std::lower_bound(todo.begin(), todo.end(), cuts[r]);
                    for (; i != todo.end() && *i < cuts[r + 1]; ++i) {
                        const std::uint32_t begin = starts[*i], end = starts[*i + 1];
                        switch (merge(begin, end, run, scratch)) {
                            case Verdict::merged: merged[r] += end - begin - 1; break;
                            case Verdict::waits: waiting[r].push_back(*i); break;
                            case Verdict::refused: break;
                        }
                    }
                }
            },
            1);
        todo.clear();
        std::size_t total = 0;
        for (std::size_t r = 0; r < runs; ++r) {
            total += merged[r];
            todo.insert(todo.end(), waiting[r].begin(), waiting[r].end());
        }
        return total;
    }

    // Merges vertices [begin, end), one block, into one of them if it may.
    Verdict merge(std::uint32_t begin, std::uint32_t end, Span run, Scratch& s) {
        const auto inside = [&](std::uint32_t v) { return v >= begin && v < end; };
        // Only closed fans are merged: then every edge at the block's
        // vertices is held by two faces, once each way.
        for (std::uint32_t v = begin; v < end; ++v)
            if (stuck_[v] || !closed_fan(v)) return Verdict::refused;
        s.faces.clear();
        s.rim.clear();
        s.outside.clear();
        for (std::uint32_t v = begin; v < end; ++v)
            for (std::uint32_t i = first_[v]; i < first_[v + 1]; ++i) {
                const Face& was = faces_[around_[i]];
                // Each face once: from its first corner in the block.
                bool seen = false;
                for (std::uint32_t w : was) {
                    seen = seen || (w >= begin && w < v);
                    // Another run's vertices may be changing: judged before reading them.
                    if (w < run.begin || w >= run.end) return Verdict::waits;
                }
                if (seen) continue;
                const Face t{rep_[was[0]], rep_[was[1]], rep_[was[2]]};
                if (degenerate(t)) {
                    if (!degenerate(was)) continue;  // gone with a block merged earlier in this level
                    return Verdict::refused;
                }
                int mine = 0, at = 0;
                for (int k = 0; k < 3; ++k) {
                    if (inside(t[k])) {
                        ++mine;
                        at = k;
                    } else {
                        s.outside.push_back(t[k]);
                    }
                }
                if (mine == 1) s.rim.push_back({t[(at + 1) % 3], t[(at + 2) % 3], t[at]});
                s.faces.push_back(t);
            }
        // One disk: its rim one cycle through every vertex outside the block ...
        const std::size_t n = s.rim.size();
        if (n < 3) return Verdict::refused;
        const auto by_from = [](const Scratch::RimEdge& e, std::uint32_t a) { return e.from < a; };
        std::sort(s.rim.begin(), s.rim.end(), [](const auto& x, const auto& y) { return x.from < y.from; });
        for (std::size_t i = 1; i < n; ++i)
            if (s.rim[i].from == s.rim[i - 1].from) return Verdict::refused;
        std::size_t steps = 1;
        for (std::uint32_t at = s.rim.front().to; at != s.rim.front().from; ++steps) {
            const auto it = std::lower_bound(s.rim.begin(), s.rim.end(), at, by_from);
            if (it == s.rim.end() || it->from != at || steps == n) return Verdict::refused;
            at = it->to;
        }
        if (steps != n) return Verdict::refused;
        // ... of Euler characteristic one ...
        const std::size_t k = end - begin;
        if (s.faces.size() + 2 != 2 * k + n) return Verdict::refused;
        // ... with no vertex outside it but on the rim (n distinct ones), and
        // no rim vertex left with under three triangles ...
        std::sort(s.outside.begin(), s.outside.end());
        std::size_t distinct = 0;
        for (std::size_t i = 0; i < s.outside.size();) {
            std::size_t j = i;
            while (j < s.outside.size() && s.outside[j] == s.outside[i]) ++j;
            if (valence_[s.outside[i]] + 2 < 3 + (j - i)) return Verdict::refused;
            ++distinct;
            i = j;
        }
        if (distinct != n) return Verdict::refused;
        // ... and every vertex of the block joined to the rim (else a handle
        // and a closed crumb could pass for a disk).
        s.parent.resize(k);
        s.reaches.assign(k, 0);
        for (std::uint32_t i = 0; i < k; ++i) s.parent[i] = i;
        const auto root = [&](std::uint32_t i) {
            while (s.parent[i] != i) i = s.parent[i] = s.parent[s.parent[i]];
            return i;
        };
        for (const Face& t : s.faces) {
            std::uint32_t joined = k;
            for (std::uint32_t v : t) {
                if (!inside(v)) continue;
                const std::uint32_t r = root(v - begin);
                if (joined == k) {
                    joined = r;
                } else if (r != joined) {
                    s.parent[std::max(r, joined)] = std::min(r, joined);
                    joined = std::min(r, joined);
                }
            }
        }
        for (const Face& t : s.faces)
            for (int i = 0; i < 3; ++i)
                if (inside(t[i]) && (!inside(t[(i + 1) % 3]) || !inside(t[(i + 2) % 3]))) {
                    s.reaches[root(t[i] - begin)] = 1;
                    break;
                }
        for (std::uint32_t i = 0; i < k; ++i)
            if (!s.reaches[root(i)]) return Verdict::refused;

        // The vertex kept: the least error; among the nearly least, the one
        // nearest the block's middle, for even triangles.
        Quadric q;
        Vec3 middle{0.0, 0.0, 0.0};
        for (std::uint32_t v = begin; v < end; ++v) {
            q.add(quadric_[v]);
            for (int axis = 0; axis < 3; ++axis) middle[axis] += point_[v][axis];
        }
        for (int axis = 0; axis < 3; ++axis) middle[axis] /= static_cast<double>(k);
        s.keeps.clear();  // (error, vertex) first, then (squared distance to the middle, vertex)
        double least = std::numeric_limits<double>::infinity();
        for (std::uint32_t v = begin; v < end; ++v) {
            s.keeps.push_back({q.at(point_[v]), v});
            least = std::min(least, s.keeps.back().first);
        }
        if (!(least <= limit_)) return Verdict::refused;
        const double near_least = least + 1e-6 * limit_;
        std::size_t candidates = 0;
        for (const auto& [error, v] : s.keeps)
            if (error <= near_least) {
                const Vec3 d = sub(point_[v], middle);
                s.keeps[candidates++] = {dot(d, d), v};
            }
        s.keeps.resize(candidates);
        std::sort(s.keeps.begin(), s.keeps.end());
        if (s.keeps.size() > kKeepsTried) s.keeps.resize(kKeepsTried);
        s.before.clear();
        for (const Scratch::RimEdge& e : s.rim)
            s.before.push_back(TriangleShape::of(point_[e.corner], point_[e.from], point_[e.to]));
        std::uint32_t keep = end;
        for (const auto& [d2, v] : s.keeps)
            if (keeps_shape(v, s)) {
                keep = v;
                break;
            }
        if (keep == end) return Verdict::refused;

        // Made: the block's vertices become `keep`; its rim's counts change.
        for (std::uint32_t v = begin; v < end; ++v) rep_[v] = keep;
        quadric_[keep] = q;
        valence_[keep] = static_cast<std::uint32_t>(n);
        for (std::size_t i = 0; i < s.outside.size();) {
            std::size_t j = i;
            while (j < s.outside.size() && s.outside[j] == s.outside[i]) ++j;
            valence_[s.outside[i]] = valence_[s.outside[i]] + 2 - static_cast<std::uint32_t>(j - i);
            i = j;
        }
        return Verdict::merged;
    }

    // Whether every face left around the block keeps its shape when the
    // block's vertices become `keep`.
    bool keeps_shape(std::uint32_t keep, const Scratch& s) const {
        for (std::size_t i = 0; i < s.rim.size(); ++i) {
            const Scratch::RimEdge& e = s.rim[i];
            if (e.corner != keep &&
                !may_reshape(s.before[i], TriangleShape::of(point_[keep], point_[e.from], point_[e.to]), kLeastSin2))
                return false;
        }
        return true;
    }

    // Drops the merged vertices and the faces they emptied, keeping order.
    void keep_survivors() {
        const std::size_t nv = point_.size();
        std::vector<std::uint32_t> renumber(nv);
        std::uint32_t kept = 0;
        for (std::uint32_t v = 0; v < nv; ++v) {
            if (rep_[v] != v) continue;
            renumber[v] = kept;
            point_[kept] = point_[v];
            quadric_[kept] = quadric_[v];
            cell_[kept] = cell_[v];
            held_[kept] = held_[v];
            stuck_[kept] = stuck_[v];
            if (!normal_.empty()) normal_[kept] = normal_[v];
            ++kept;
        }
        for (auto* list : {&point_, &normal_})
            if (!list->empty()) list->resize(kept);
        quadric_.resize(kept);
        cell_.resize(kept);
        held_.resize(kept);
        stuck_.resize(kept);
        std::size_t out = 0;
        for (std::size_t f = 0; f < faces_.size(); ++f) {
            const Face was = faces_[f];
            const Face now{renumber[rep_[was[0]]], renumber[rep_[was[1]]], renumber[rep_[was[2]]]};
            if (degenerate(now) && !degenerate(was)) continue;
            faces_[out++] = now;
        }
        faces_.resize(out);
        parallel_for(from_.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v) from_[v] = renumber[rep_[from_[v]]];
        });
        index_faces();
    }

    // Whether v's faces turn around it as one closed fan, each onto the next
    // across an edge held once each way. (Vertices of more than kFanMost faces
    // are left as they are.)
    bool closed_fan(std::uint32_t v) const {
        const std::uint32_t size = first_[v + 1] - first_[v];
        if (size < 3 || size > kFanMost) return false;
        std::array<std::uint32_t, kFanMost> next, prev;
        for (std::uint32_t i = 0; i < size; ++i) {
            const Face& t = faces_[around_[first_[v] + i]];
            const int at = t[0] == v ? 0 : t[1] == v ? 1 : 2;
            next[i] = t[(at + 1) % 3];
            prev[i] = t[(at + 2) % 3];
        }
        std::uint32_t f = 0;
        for (std::uint32_t step = 1; step <= size; ++step) {
            // Without branches: which face follows is unpredictable.
            std::uint32_t found = 0, matches = 0;
            for (std::uint32_t i = 0; i < size; ++i) {
                const bool match = prev[i] == next[f];
                matches += match;
                found = match ? i : found;
            }
            if (matches != 1) return false;
            f = found;
            if (f == 0) return step == size;
        }
        return false;
    }

    // The faces around each vertex, by face number, and their count.
    void index_faces() {
        const std::size_t nv = point_.size();
        first_.assign(nv + 1, 0);
        for (const Face& f : faces_)
            for (std::uint32_t v : f) ++first_[v + 1];
        valence_.resize(nv);
        for (std::size_t v = 0; v < nv; ++v) {
            valence_[v] = first_[v + 1];
            first_[v + 1] += first_[v];
        }
        around_.resize(first_[nv]);
        std::vector<std::uint32_t> next(first_.begin(), first_.end() - 1);
        for (std::uint32_t f = 0; f < faces_.size(); ++f)
            for (std::uint32_t v : faces_[f]) around_[next[v]++] = f;
    }

    double limit_;
    bool usable_ = false;
    std::size_t input_count_ = 0;
    // The mesh as it now is: vertices in z-order of their cells.
    std::vector<Vec3> point_, normal_;
    std::vector<Quadric> quadric_;
    std::vector<Cell> cell_;
    std::vector<std::uint8_t> held_;
    std::vector<std::uint8_t> stuck_;  // held, not finite, or on a face that repeats a vertex: never merged
    std::vector<Face> faces_;
    std::vector<std::uint32_t> first_, around_, valence_;
    std::vector<std::uint32_t> rep_;   // within a level: the vertex each was merged into
    std::vector<std::uint32_t> from_;  // per input vertex: its vertex now
};

}  // namespace

Clustered merge_blocks(const TriangleMesh& mesh, double tolerance, const std::vector<std::uint8_t>& held,
                       const BlockGrid& grid, Monitor& monitor) {
    Blocks blocks(mesh, tolerance, held, grid);
    blocks.run(monitor);
    return std::move(blocks).take();
}

}  // namespace quarvel
