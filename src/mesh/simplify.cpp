#include "mesh/simplify.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "core/parallel.hpp"
#include "mesh/check.hpp"

namespace quarvel {
namespace {

using Face = std::array<std::uint32_t, 3>;
constexpr std::uint32_t kDead = std::numeric_limits<std::uint32_t>::max();

// Vertices by the cost of their cheapest collapse, each at most once: a
// binary heap that knows where each vertex sits, so a changed cost moves its
// entry instead of adding another.
class VertexHeap {
public:
    static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

    // `where`: each vertex's place in its heap, shared by heaps of disjoint vertices.
    explicit VertexHeap(std::vector<std::uint32_t>& where) : where_(where) {}

    bool empty() const { return heap_.empty(); }
    bool holds(std::uint32_t v) const { return where_[v] != kAbsent; }
    std::uint32_t pop() {
        const std::uint32_t top = heap_.front().vertex;
        remove(top);
        return top;
    }
    void set(std::uint32_t v, double cost) {
        if (where_[v] == kAbsent) {
            where_[v] = static_cast<std::uint32_t>(heap_.size());
            heap_.push_back({cost, v});
            up(where_[v]);
        } else {
            const std::uint32_t i = where_[v];
            const double was = heap_[i].cost;
            heap_[i].cost = cost;
            if (cost < was) up(i); else down(i);
        }
    }
    void remove(std::uint32_t v) {
        const std::uint32_t i = where_[v];
        if (i == kAbsent) return;
        where_[v] = kAbsent;
        const Entry last = heap_.back();
        heap_.pop_back();
        if (i == heap_.size()) return;
        heap_[i] = last;
        where_[last.vertex] = i;
        up(i);
        down(where_[last.vertex]);
    }

private:
    struct Entry {
        double cost;
        std::uint32_t vertex;
        // The cheapest first; ties by vertex number, so the order is fixed.
        bool before(const Entry& o) const { return cost < o.cost || (cost == o.cost && vertex < o.vertex); }
    };
    void place(std::uint32_t i, const Entry& e) {
        heap_[i] = e;
        where_[e.vertex] = i;
    }
    void up(std::uint32_t i) {
        const Entry e = heap_[i];
        while (i > 0) {
            const std::uint32_t parent = (i - 1) / 2;
            if (!e.before(heap_[parent])) break;
            place(i, heap_[parent]);
            i = parent;
        }
        place(i, e);
    }
    void down(std::uint32_t i) {
        const Entry e = heap_[i];
        const auto n = static_cast<std::uint32_t>(heap_.size());
        while (true) {
            std::uint32_t child = 2 * i + 1;
            if (child >= n) break;
            if (child + 1 < n && heap_[child + 1].before(heap_[child])) ++child;
            if (!heap_[child].before(e)) break;
            place(i, heap_[child]);
            i = child;
        }
        place(i, e);
    }

    std::vector<Entry> heap_;
    std::vector<std::uint32_t>& where_;
};

class Collapser {
public:
    // `quadric`: per vertex, the planes merged into it before.
    Collapser(const TriangleMesh& mesh, double tolerance, const std::vector<std::uint8_t>& held,
              std::vector<Quadric> quadric)
        : points_(mesh.vertices), held_(held), limit_(tolerance * tolerance), quadric_(std::move(quadric)),
          where_(mesh.vertices.size(), VertexHeap::kAbsent) {
        const std::size_t nv = points_.size();
        faces_.reserve(mesh.triangles.size());
        around_.resize(nv);
        alive_.assign(nv, 1);
        merged_into_.resize(nv);
        for (std::uint32_t v = 0; v < nv; ++v) merged_into_[v] = v;
        for (const Triangle& t : mesh.triangles) {
            const Face f{static_cast<std::uint32_t>(t[0]), static_cast<std::uint32_t>(t[1]),
                         static_cast<std::uint32_t>(t[2])};
            const auto id = static_cast<std::uint32_t>(faces_.size());
            faces_.push_back(f);
            for (std::uint32_t v : f) around_[v].push_back(id);
        }
        own_.resize(nv);
        for (std::uint32_t v = 0; v < nv; ++v) own_[v] = quadric_[v].at(points_[v]);
        // Collapses under the link condition keep a closed 2-manifold one:
        // only vertices that are not so to begin with need telling apart.
        fixed_.assign(nv, 0);
        for (const Face& f : faces_)
            if (f[0] == f[1] || f[1] == f[2] || f[0] == f[2] || !is_finite(points_[f[0]]) ||
                !is_finite(points_[f[1]]) || !is_finite(points_[f[2]]))
                for (std::uint32_t v : f) fixed_[v] = 1;
        for (std::uint32_t v = 0; v < nv; ++v)
            if (!fixed_[v]) fixed_[v] = around_[v].empty() || !manifold_at(v);
        classify_features();
        cut_into_slabs();
    }

    // First every slab on its own, in parallel, each collapsing only edges
    // whose vertices and neighbours all lie inside it; then the whole mesh,
    // for what is left along the slabs' borders. The slabs do not depend on
    // the number of threads, so neither does the mesh.
    std::uint64_t run(Monitor& monitor) {
        std::uint64_t collapses = 0;
        if (slabs_ > 1) {
            std::vector<std::uint64_t> made(slabs_, 0);
            parallel_for(
                slabs_,
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t s = begin; s < end; ++s) {
                        Lane lane(where_, static_cast<std::uint32_t>(s));
                        made[s] = drain(lane, monitor);
                    }
                },
                1);
            for (std::uint64_t m : made) collapses += m;
        }
        Lane everywhere(where_, kEverySlab);
        return collapses + drain(everywhere, monitor);
    }

    // The surviving mesh: vertices and triangles in input order.
    TriangleMesh result(const TriangleMesh& input) const {
        TriangleMesh out;
        std::vector<std::uint64_t> index(points_.size(), 0);
        for (std::size_t v = 0; v < points_.size(); ++v) {
            if (!alive_[v]) continue;
            index[v] = out.vertices.size();
            out.vertices.push_back(points_[v]);
            if (!input.normals.empty()) out.normals.push_back(input.normals[v]);
        }
        for (const Face& f : faces_)
            if (f[0] != kDead) out.triangles.push_back({index[f[0]], index[f[1]], index[f[2]]});
        return out;
    }

    // The vertex each input vertex was merged into.
    std::uint32_t survivor(std::uint32_t v) {
        while (merged_into_[v] != v) v = merged_into_[v] = merged_into_[merged_into_[v]];
        return v;
    }

private:
    static constexpr std::uint32_t kEverySlab = std::numeric_limits<std::uint32_t>::max();

    // One thread's collapses: its heap and scratch space.
    struct Lane {
        Lane(std::vector<std::uint32_t>& where, std::uint32_t which) : queue(where), slab(which) {}
        VertexHeap queue;
        std::uint32_t slab;  // kEverySlab: the whole mesh
        std::vector<std::uint32_t> ring_u, ring_v, common, ring_try;
        std::vector<std::pair<double, std::uint32_t>> options;
    };

    // Whether `lane` may touch v: a vertex of its slab whose neighbours are
    // all of it too. Such a vertex keeps its neighbours in its slab through
    // every collapse its slab makes, and no other slab reads or writes it.
    bool mine(const Lane& lane, std::uint32_t v) const {
        return lane.slab == kEverySlab || (slab_[v] == lane.slab && inner_[v]);
    }

    std::uint64_t drain(Lane& lane, Monitor& monitor) {
        std::uint64_t total = 0;
        std::size_t popped = 0;
        for (int pass = 0; pass < kPasses; ++pass) {
            std::uint64_t queued = 0;
            auto queue = [&](std::uint32_t v) {
                if (mine(lane, v) && alive_[v]) {
                    push(lane, v);
                    ++queued;
                }
            };
            if (lane.slab == kEverySlab) {
                // After the slabs, only what they could not touch: the rest
                // is queued again as collapses beside it change its fan.
                for (std::uint32_t v = 0; v < points_.size(); ++v)
                    if (slabs_ == 1 || !inner_[v]) queue(v);
            } else {
                for (std::size_t i = slab_start_[lane.slab]; i < slab_start_[lane.slab + 1]; ++i) queue(by_slab_[i]);
            }
            std::uint64_t made = 0;
            while (!lane.queue.empty()) {
                monitor.check(++popped);
                if (collapse_cheapest(lane, lane.queue.pop())) ++made;
            }
            total += made;
            if (made * 100 < queued) break;  // little left to gain
        }
        return total;
    }

    // Slabs across the longest side of the vertices' box, of about
    // kSlabVertices vertices each, or a few of at least kLeastSlabVertices
    // (one slab for small meshes).
    void cut_into_slabs() {
        const std::size_t nv = points_.size();
        // A mesh left small by the block merges still gets a few slabs; a
        // large one no more than its size asks: thin slabs are mostly border,
        // collapsed afterwards on one thread.
        slabs_ = static_cast<std::uint32_t>(std::clamp<std::size_t>(
            std::max(nv / kSlabVertices, std::min(kFewSlabs, nv / kLeastSlabVertices)), 1, kMaxSlabs));
        slab_.assign(nv, 0);
        inner_.assign(nv, 1);
        if (slabs_ == 1) return;
        Vec3 lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
        for (const Vec3& p : points_)
            if (is_finite(p))
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], p[k]);
                    hi[k] = std::max(hi[k], p[k]);
                }
        int axis = 0;
        for (int k = 1; k < 3; ++k)
            if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
        const double extent = hi[axis] - lo[axis];
        if (!(extent > 0.0)) {
            slabs_ = 1;
            return;
        }
        for (std::size_t v = 0; v < nv; ++v) {
            const double at = (points_[v][axis] - lo[axis]) / extent * slabs_;
            slab_[v] = at >= 0.0 ? static_cast<std::uint32_t>(std::min<double>(at, slabs_ - 1)) : 0;
        }
        for (const Face& f : faces_)
            if (slab_[f[0]] != slab_[f[1]] || slab_[f[1]] != slab_[f[2]])
                for (std::uint32_t v : f) inner_[v] = 0;
        // Each slab's vertices in order, so that a lane walks its own only.
        slab_start_.assign(slabs_ + 1, 0);
        for (std::uint32_t s : slab_) ++slab_start_[s + 1];
        for (std::uint32_t s = 0; s < slabs_; ++s) slab_start_[s + 1] += slab_start_[s];
        by_slab_.resize(nv);
        std::vector<std::size_t> next(slab_start_.begin(), slab_start_.end() - 1);
        for (std::uint32_t v = 0; v < nv; ++v) by_slab_[next[slab_[v]]++] = v;
    }

    // Corners stay; a vertex on a crease moves only along it, onto another
    // vertex of a crease. Judged once, on the input's triangles, by the
    // angle between them.
    void classify_features() {
        crease_.assign(points_.size(), Vec3{0.0, 0.0, 0.0});
        on_crease_.assign(points_.size(), 0);
        std::vector<Vec3> normals;
        for (std::uint32_t v = 0; v < points_.size(); ++v) {
            if (fixed_[v]) continue;
            normals.clear();
            for (std::uint32_t f : around_[v]) {
                const Face& t = faces_[f];
                Vec3 n = face_normal(points_[t[0]], points_[t[1]], points_[t[2]]);
                const double len = length(n);
                if (len > 0.0) normals.push_back({n[0] / len, n[1] / len, n[2] / len});
            }
            // The most opposed pair, then any normal sharp to both: a corner.
            double least = kCosSharp;
            int a = -1, b = -1;
            for (std::size_t i = 0; i < normals.size(); ++i)
                for (std::size_t j = i + 1; j < normals.size(); ++j)
                    if (const double d = dot(normals[i], normals[j]); d < least) {
                        least = d;
                        a = static_cast<int>(i);
                        b = static_cast<int>(j);
                    }
            if (a < 0) continue;
            const Vec3 line = cross(normals[a], normals[b]);
            const double len = length(line);
            bool corner = !(len > 0.0);
            for (const Vec3& n : normals)
                if (dot(n, normals[a]) < kCosSharp && dot(n, normals[b]) < kCosSharp &&
                    std::abs(dot(n, line)) > kSinSharp * len)
                    corner = true;
            if (corner) {
                fixed_[v] = 2;  // may be moved onto, never moved
            } else {
                crease_[v] = {line[0] / len, line[1] / len, line[2] / len};
                on_crease_[v] = 1;
            }
        }
    }

    bool may_move(std::uint32_t u, std::uint32_t v) const {
        if (!on_crease_[u]) return true;
        if (!on_crease_[v] && fixed_[v] != 2) return false;
        const Vec3 step = sub(points_[v], points_[u]);
        return std::abs(dot(step, crease_[u])) >= kCosAlongCrease * length(step);
    }

    // (Q_from + Q_to)(p_to), with Q_to(p_to) kept per vertex.
    double cost(std::uint32_t from, std::uint32_t to) const { return quadric_[from].at(points_[to]) + own_[to]; }

    // Queues `v` at the cost of its cheapest collapse within the tolerance.
    void push(Lane& lane, std::uint32_t v) {
        if (held_[v] || fixed_[v] || !mine(lane, v)) return;
        double best = std::numeric_limits<double>::infinity();
        // Each neighbour twice, once per face of its edge: cheaper than finding each once.
        for (std::uint32_t f : around_[v]) {
            const Face& t = faces_[f];
            best = std::min(best, cost(v, t[0] == v ? t[1] : t[1] == v ? t[2] : t[0]));
        }
        if (best <= limit_) lane.queue.set(v, best); else lane.queue.remove(v);
    }

    // Moves `u` onto the neighbour that costs least and may take it.
    bool collapse_cheapest(Lane& lane, std::uint32_t u) {
        neighbours(u, lane.ring_try);
        lane.options.clear();
        for (std::uint32_t w : lane.ring_try) {
            const double c = cost(u, w);
            if (c <= limit_) lane.options.push_back({c, w});
        }
        std::sort(lane.options.begin(), lane.options.end());
        for (const auto& [c, w] : lane.options)
            if (collapse(lane, u, w)) return true;
        return false;
    }

    // Around a manifold vertex each neighbour follows v in exactly one face.
    void neighbours(std::uint32_t v, std::vector<std::uint32_t>& out) const {
        out.clear();
        for (std::uint32_t f : around_[v]) {
            const Face& t = faces_[f];
            out.push_back(t[0] == v ? t[1] : t[1] == v ? t[2] : t[0]);
        }
        std::sort(out.begin(), out.end());
    }

    // Closed 2-manifold around v: its triangles form one fan, each turning
    // onto the next across an edge no other triangle at v holds.
    bool manifold_at(std::uint32_t v) const {
        const auto& fan = around_[v];
        if (fan.size() < 3) return false;
        auto next_of = [&](std::uint32_t f) {
            const Face& t = faces_[f];
            return t[0] == v ? t[1] : t[1] == v ? t[2] : t[0];
        };
        auto prev_of = [&](std::uint32_t f) {
            const Face& t = faces_[f];
            return t[0] == v ? t[2] : t[1] == v ? t[0] : t[1];
        };
        std::uint32_t f = fan.front();
        for (std::size_t step = 0; step < fan.size(); ++step) {
            const std::uint32_t next = next_of(f);
            std::uint32_t found = kDead;
            for (std::uint32_t g : fan)
                if (prev_of(g) == next) {
                    if (found != kDead) return false;
                    found = g;
                }
            if (found == kDead) return false;
            f = found;
            if (f == fan.front() && step + 1 != fan.size()) return false;  // a second fan
        }
        return f == fan.front();
    }

    bool collapse(Lane& lane, std::uint32_t u, std::uint32_t v) {
        if (fixed_[v] == 1 || !mine(lane, v) || !may_move(u, v)) return false;
        std::uint32_t shared[2];
        int count = 0;
        for (std::uint32_t f : around_[u]) {
            const Face& t = faces_[f];
            if (t[0] == v || t[1] == v || t[2] == v) {
                if (count == 2) return false;
                shared[count++] = f;
            }
        }
        if (count != 2) return false;
        // The link condition: u and v share exactly the two vertices across the edge.
        std::uint32_t across[2];
        for (int i = 0; i < 2; ++i) {
            const Face& t = faces_[shared[i]];
            across[i] = t[0] != u && t[0] != v ? t[0] : t[1] != u && t[1] != v ? t[1] : t[2];
        }
        if (across[0] == across[1]) return false;
        for (std::uint32_t f : around_[u]) {
            if (f == shared[0] || f == shared[1]) continue;
            const Face& t = faces_[f];
            const int at = t[0] == u ? 0 : t[1] == u ? 1 : 2;
            if (!may_move_corner(points_[u], points_[t[(at + 1) % 3]], points_[t[(at + 2) % 3]], points_[v]))
                return false;
        }
        // The topology last: the geometry refuses far more collapses, and costs less to judge.
        neighbours(u, lane.ring_u);
        neighbours(v, lane.ring_v);
        lane.common.clear();
        std::set_intersection(lane.ring_u.begin(), lane.ring_u.end(), lane.ring_v.begin(), lane.ring_v.end(),
                              std::back_inserter(lane.common));
        if (lane.common.size() != 2) return false;
        for (std::uint32_t w : lane.ring_u)
            if (!mine(lane, w)) return false;
        // A vertex across with three neighbours would be left with two faces on the same three vertices.
        for (std::uint32_t w : across)
            if (around_[w].size() <= 3) return false;
        // Made: the two faces go, u's others take v. (u's ring, kept in
        // lane.ring_u by the link test, is what changed around its vertices.)
        for (std::uint32_t f : shared) {
            for (std::uint32_t w : faces_[f]) {
                auto& list = around_[w];
                list.erase(std::remove(list.begin(), list.end(), f), list.end());
            }
            faces_[f] = {kDead, kDead, kDead};
        }
        for (std::uint32_t f : around_[u]) {
            for (std::uint32_t& w : faces_[f])
                if (w == u) w = v;
            around_[v].push_back(f);
        }
        std::sort(around_[v].begin(), around_[v].end());
        around_[u].clear();
        around_[u].shrink_to_fit();
        quadric_[v].add(quadric_[u]);
        own_[v] = quadric_[v].at(points_[v]);
        alive_[u] = 0;
        lane.queue.remove(u);
        merged_into_[u] = v;
        // v's quadric grew: every collapse onto v costs more. u's neighbours
        // lost u, so theirs are judged afresh; v's others only change cost,
        // and those refused before stay refused until their own fans change
        // (or the next pass).
        push(lane, v);
        for (std::uint32_t w : lane.ring_u)
            if (w != v) push(lane, w);
        neighbours(v, lane.ring_v);
        for (std::uint32_t w : lane.ring_v)
            if (mine(lane, w) && lane.queue.holds(w)) push(lane, w);
        return true;
    }

    static constexpr int kPasses = 3;
    static constexpr std::size_t kSlabVertices = 16384;
    static constexpr std::size_t kFewSlabs = 8;
    static constexpr std::size_t kLeastSlabVertices = 2048;
    static constexpr std::size_t kMaxSlabs = 64;
    inline static const double kCosSharp = cos_degrees(30.0);  // triangles further apart meet at a crease
    inline static const double kSinSharp = std::sin(30.0 * 3.141592653589793 / 180.0);
    inline static const double kCosAlongCrease = cos_degrees(2.0);

    std::vector<Vec3> points_;
    const std::vector<std::uint8_t>& held_;
    double limit_;
    std::vector<Face> faces_;
    std::vector<std::vector<std::uint32_t>> around_;
    std::vector<Quadric> quadric_;
    std::vector<double> own_;  // each vertex's quadric at itself
    std::vector<std::uint8_t> alive_;
    // 1: not closed 2-manifold around: never moved, never moved onto; 2: a corner: never moved.
    std::vector<std::uint8_t> fixed_;
    std::vector<Vec3> crease_;  // along the crease a vertex lies on
    std::vector<std::uint8_t> on_crease_;
    std::vector<std::uint32_t> merged_into_;
    std::vector<std::uint32_t> where_;  // each vertex's place in its lane's heap
    std::uint32_t slabs_ = 1;
    std::vector<std::uint32_t> slab_;  // each vertex's slab
    std::vector<std::uint8_t> inner_;  // whether its neighbours all share its slab
    std::vector<std::size_t> slab_start_;  // slab s's vertices: by_slab_[slab_start_[s], slab_start_[s + 1])
    std::vector<std::uint32_t> by_slab_;
};

constexpr int kRounds = 4;

// The corners of the crossing triangles and the vertices around them.
std::vector<std::uint8_t> around_crossings(const TriangleMesh& mesh, const CrossingPairs& crossing) {
    std::vector<std::uint8_t> corner(mesh.vertices.size(), 0), marked(mesh.vertices.size(), 0);
    for (const TrianglePair& pair : crossing.listed)
        for (std::uint64_t t : {pair[0], pair[1]})
            for (std::uint64_t v : mesh.triangles[t]) corner[v] = 1;
    for (const Triangle& t : mesh.triangles)
        if (corner[t[0]] || corner[t[1]] || corner[t[2]])
            for (std::uint64_t v : t) marked[v] = 1;
    return marked;
}

}  // namespace

SimplifyStats simplify_mesh(TriangleMesh& mesh, double tolerance, Monitor& monitor, const BlockGrid& grid) {
    SimplifyStats stats;
    stats.triangles_before = mesh.triangles.size();
    if (!(tolerance > 0.0) || mesh.triangles.empty() ||
        mesh.vertices.size() >= std::numeric_limits<std::uint32_t>::max() ||
        mesh.triangles.size() >= std::numeric_limits<std::uint32_t>::max())
        return stats;
    // Crossings are undone by holding the vertices around them and trying
    // again: first the collapses alone, on the same block merges, once those
    // are known to cross nothing; else the block merges too, holding the
    // input vertices merged into those around the crossings.
    std::vector<std::uint8_t> held(mesh.vertices.size(), 0);
    for (int merging = 1; merging <= kRounds; ++merging) {
        Clustered blocks = merge_blocks(mesh, tolerance, held, grid, monitor);
        std::vector<std::uint8_t> blocks_held = blocks.held;
        bool blocks_cross_nothing = false;
        for (int round = 1; round <= kRounds; ++round) {
            monitor.poll();
            ++stats.rounds;
            Collapser collapser(blocks.mesh, tolerance, blocks_held, blocks.quadric);
            const std::uint64_t collapses = collapser.run(monitor);
            TriangleMesh simpler = collapser.result(blocks.mesh);
            const CrossingPairs crossing = find_crossings(simpler.vertices, simpler.triangles, CrossingSearch{});
            if (crossing.count == 0) {
                stats.collapses = blocks.merged + collapses;
                mesh = std::move(simpler);
                return stats;
            }
            if (!blocks_cross_nothing) {
                const CrossingPairs merged =
                    find_crossings(blocks.mesh.vertices, blocks.mesh.triangles, CrossingSearch{});
                if (merged.count != 0) {
                    const std::vector<std::uint8_t> marked = around_crossings(blocks.mesh, merged);
                    for (std::uint32_t v = 0; v < mesh.vertices.size(); ++v)
                        if (marked[blocks.from[v]] && !held[v]) {
                            held[v] = 1;
                            ++stats.held_vertices;
                        }
                    break;
                }
                blocks_cross_nothing = true;
            }
            const std::vector<std::uint8_t> marked = around_crossings(simpler, crossing);
            const std::size_t nv = blocks.mesh.vertices.size();
            std::vector<std::uint32_t> kept_as(nv, 0);  // a vertex left by the collapses -> its number in `simpler`
            for (std::uint32_t v = 0, next = 0; v < nv; ++v)
                if (collapser.survivor(v) == v) kept_as[v] = next++;
            for (std::uint32_t v = 0; v < nv; ++v)
                if (marked[kept_as[collapser.survivor(v)]] && !blocks_held[v]) {
                    blocks_held[v] = 1;
                    ++stats.held_vertices;
                }
        }
    }
    stats.gave_up = true;
    return stats;
}

}  // namespace quarvel
