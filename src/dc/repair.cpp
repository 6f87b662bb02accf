#include "dc/repair.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"
#include "dc/faces.hpp"
#include "dc/sheets.hpp"
#include "mesh/check.hpp"
#include "mesh/moving_crossings.hpp"

namespace quarvel {

namespace {

// Where a vertex may go back to: its solved place, that place clamped into
// its own cell (a vertex on a sharp feature may leave it), the mean of its
// crossing points, the middle of its cell; and how far down it may step.
struct Ladder {
    std::vector<Vec3> solved, clamped, mass, centre;
    std::vector<std::uint8_t> last_rung;
    std::vector<Box> cell;  // per vertex: its cell

    bool outside(std::size_t v) const { return solved[v] != clamped[v]; }
    // The rung below `step`; the clamped place only for a vertex outside its cell.
    unsigned next(std::size_t v, unsigned step) const { return step == 0 && !outside(v) ? 2 : step + 1; }
};

Vec3 lerp(const Vec3& a, const Vec3& b, double t) {
    return {a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])};
}

Vec3 rung(const Ladder& ladder, std::size_t v, unsigned r) {
    switch (r) {
        case 0: return ladder.solved[v];
        case 1: return ladder.clamped[v];
        case 2: return lerp(ladder.clamped[v], ladder.mass[v], 0.5);
        case 3: return ladder.mass[v];
        case 4: return lerp(ladder.mass[v], ladder.centre[v], 0.5);
        default: return ladder.centre[v];
    }
}

// Takes the crossing points' means and boxes out of `placed`: they serve only here.
Ladder make_ladder(PlacedVertices& placed, const SurfaceCells& surface) {
    const std::size_t n = placed.positions.size();
    if (placed.crossing_mean.size() != n || placed.crossing_box.size() != n)
        fault("the repair needs the crossing points gathered with the vertices");
    Ladder ladder{placed.positions, placed.positions, std::move(placed.crossing_mean), std::vector<Vec3>(n),
                  std::vector<std::uint8_t>(n), std::vector<Box>(n)};
    // Each cell writes only its own vertices.
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            const std::uint64_t first = placed.first_vertex[c];
            if (first == PlacedVertices::NONE) continue;
            const SurfaceCell& cell = surface.cells[c];
            const unsigned count = slot_count(cell, placed.by_sheet);
            for (unsigned j = 0; j < count; ++j) {
                const std::uint64_t v = first + j;
                ladder.cell[v] = cell_box(cell);
                ladder.clamped[v] = clamp_into(ladder.solved[v], ladder.cell[v]);
                // The middle of the cell only as far as the box of the crossing
                // points reaches, so that no vertex leaves the box around the surface.
                ladder.centre[v] = clamp_into(cell_centre(cell), placed.crossing_box[v]);
                // Vertices of one cell would meet in its middle.
                ladder.last_rung[v] = count == 1 ? 5 : 3;
            }
        }
    });
    placed.crossing_box = {};
    return ladder;
}

// A triangle clearly facing against the field: its normal and the sum of its
// vertices' unit gradients more than 120 degrees apart. (At a sharp feature
// the gradients of a vertex may belong to another face, at about 90 degrees.)
bool faces_back(const PlacedVertices& placed, const Triangle& t) {
    const std::vector<Vec3>& x = placed.positions;
    Vec3 n = cross(sub(x[t[1]], x[t[0]]), sub(x[t[2]], x[t[0]]));
    Vec3 g{0.0, 0.0, 0.0};
    for (std::uint64_t v : t) {
        const Vec3 u = unit_normal(placed.gradients[v]);
        for (int a = 0; a < 3; ++a) g[a] += u[a];
    }
    double ln = length(n);
    const double lg = length(g);
    // Far from unit size (a mesh 1e80 or 1e-100 across) n . n overflows or
    // vanishes: n is then scaled by a power of two, which leaves the
    // comparison as it was.
    if (!(ln > 0x1p-400 && ln < 0x1p400)) {
        const double largest = std::max({std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])});
        if (!(largest > 0.0) || !std::isfinite(largest)) return false;
        const double scale = std::ldexp(1.0, -std::ilogb(largest));
        n = {n[0] * scale, n[1] * scale, n[2] * scale};
        ln = length(n);
    }
    return ln > 0.0 && lg > 0.0 && dot(n, g) < -0.5 * ln * lg;
}

// flag(t) per triangle t, computed for the triangles `among` only (0 for
// the others) when that list is given: a pass over a few of a large mesh.
template <class Flag>
std::vector<std::uint8_t> per_triangle(std::size_t count, std::span<const std::uint64_t> among, Flag&& flag) {
    if (among.empty()) return parallel_map<std::uint8_t>(count, [&](std::size_t t) { return std::uint8_t{flag(t)}; });
    std::vector<std::uint8_t> out(count, 0);
    parallel_for(among.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[among[i]] = std::uint8_t{flag(among[i])};
    });
    return out;
}

// Per triangle, 1 when it is one of `crossing` or, with `facing`, faces back
// (within `focus`, which lies among `among` when that is given).
std::vector<std::uint8_t> bad_triangles(const PlacedVertices& placed, const std::vector<Triangle>& triangles,
                                        const std::vector<std::uint8_t>& focus,
                                        const std::vector<TrianglePair>& crossing, bool facing = true,
                                        std::span<const std::uint64_t> among = {}) {
    std::vector<std::uint8_t> bad = per_triangle(triangles.size(), among, [&](std::size_t t) {
        return facing && !placed.gradients.empty() && (focus.empty() || focus[t]) && faces_back(placed, triangles[t]);
    });
    for (const TrianglePair& p : crossing) bad[p[0]] = bad[p[1]] = 1;
    return bad;
}

// Per triangle, 1 when it crosses another or, with `facing`, faces back;
// `focus` limits the search, which `moving` (when given) knows the pairs of.
std::vector<std::uint8_t> bad_triangles(const PlacedVertices& placed, const std::vector<Triangle>& triangles,
                                        const std::vector<std::uint8_t>& focus, std::uint64_t& pairs,
                                        bool facing = true, const MovingCrossings* moving = nullptr) {
    if (!moving) {
        const std::vector<TrianglePair> crossing = intersecting_pairs(placed.positions, triangles, focus);
        pairs = crossing.size();
        return bad_triangles(placed, triangles, focus, crossing, facing);
    }
    const std::vector<TrianglePair> crossing = moving->crossing(placed.positions, triangles, focus);
    pairs = crossing.size();
    return bad_triangles(placed, triangles, focus, crossing, facing, moving->triangles());
}

// The triangles holding a flagged vertex; with `among`, the flagged
// vertices are held by those triangles only.
std::vector<std::uint8_t> holding(const std::vector<Triangle>& triangles, const std::vector<std::uint8_t>& flag,
                                  std::span<const std::uint64_t> among = {}) {
    return per_triangle(triangles.size(), among, [&](std::size_t t) {
        const Triangle& tri = triangles[t];
        return flag[tri[0]] || flag[tri[1]] || flag[tri[2]];
    });
}

// Puts the moved vertices flagged in `trying` at `trial` (gradients with
// them) and undoes those whose triangles went bad (crossing, or with
// `facing` also facing back), back to `kept`; undoing may spoil others, so
// it checks again until none is bad. Each pass undoes at least one trial,
// and a triangle without one is as it was, so this ends; and each vertex's
// fate is decided by the triangles near it alone, so a tile decides it as
// the whole mesh would. Leaves `trying` set for the trials kept.
void try_moves(PlacedVertices& placed, std::span<const std::uint64_t> moved_ever, std::span<const Vec3> trial,
               std::span<const Vec3> gradient, std::span<const Vec3> kept, std::span<const Vec3> kept_gradient,
               std::span<const Quad> quads, std::vector<Triangle>& triangles, std::vector<std::uint8_t>& trying,
               const MovingCrossings* moving, bool facing = true) {
    const bool normals = !placed.gradients.empty();
    const std::size_t m = moved_ever.size(), n = placed.positions.size();
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint64_t v = moved_ever[k];
        if (!trying[v]) continue;
        placed.positions[v] = trial[k];
        if (normals) placed.gradients[v] = gradient[k];
    }
    // With the moving triangles known, only they can change, hold a trial or
    // come into focus: each pass visits them alone.
    const std::span<const std::uint64_t> among = moving ? moving->triangles() : std::span<const std::uint64_t>{};
    const auto each = [&](auto&& visit) {
        if (moving) {
            for (std::uint64_t t : among) visit(t);
        } else {
            for (std::size_t t = 0; t < triangles.size(); ++t) visit(t);
        }
    };
    std::vector<std::uint8_t> changed = resplit_quads(quads, placed.positions, trying, triangles, among);
    std::vector<std::uint8_t> focus = holding(triangles, trying, among);
    each([&](std::size_t t) { focus[t] = focus[t] || changed[t]; });
    for (;;) {
        std::uint64_t pairs = 0;
        const std::vector<std::uint8_t> bad = bad_triangles(placed, triangles, focus, pairs, facing, moving);
        std::vector<std::uint8_t> undo(n, 0);
        bool any = false;
        each([&](std::size_t t) {
            if (!bad[t]) return;
            for (std::uint64_t v : triangles[t])
                if (trying[v]) undo[v] = any = true;
        });
        if (!any) break;
        for (std::size_t k = 0; k < m; ++k) {
            const std::uint64_t v = moved_ever[k];
            if (!undo[v]) continue;
            trying[v] = 0;
            placed.positions[v] = kept[k];
            if (normals) placed.gradients[v] = kept_gradient[k];
        }
        changed = resplit_quads(quads, placed.positions, undo, triangles, among);
        focus = holding(triangles, undo, among);
        const std::vector<std::uint8_t> near = holding(triangles, trying, among);
        each([&](std::size_t t) { focus[t] = focus[t] || changed[t] || near[t]; });
    }
}

// The searches of the settling below, which moves each vertex of
// `moved_ever` only between where it is and places in its box: the triangles
// of quads holding such a vertex are the only ones that change, each within
// the box around its quad's vertices' reach. Null where the quads are not
// split two triangles each in place (resplit_quads then remakes them all).
std::unique_ptr<MovingCrossings> moving_crossings(std::span<const Vec3> positions,
                                                  std::span<const std::uint64_t> moved_ever,
                                                  std::span<const Box> boxes, std::span<const Quad> quads,
                                                  std::span<const Triangle> triangles) {
    if (!split_in_place(quads, triangles.size())) return nullptr;
    std::vector<Box> reach(positions.size());
    for (std::size_t v = 0; v < positions.size(); ++v) reach[v] = {positions[v], positions[v]};
    for (std::size_t k = 0; k < moved_ever.size(); ++k) {
        Box& r = reach[moved_ever[k]];
        for (int a = 0; a < 3; ++a) {
            r.lo[a] = std::min(r.lo[a], boxes[k].lo[a]);
            r.hi[a] = std::max(r.hi[a], boxes[k].hi[a]);
        }
    }
    std::vector<std::uint8_t> moves(positions.size(), 0);
    for (std::uint64_t v : moved_ever) moves[v] = 1;
    std::vector<std::uint64_t> moving;
    std::vector<Box> bound;
    for (std::size_t q = 0; q < quads.size(); ++q) {
        const Quad& d = quads[q];
        if (!(moves[d[0]] || moves[d[1]] || moves[d[2]] || moves[d[3]])) continue;
        Box b = reach[d[0]];
        for (unsigned j = 1; j < 4; ++j)
            for (int a = 0; a < 3; ++a) {
                b.lo[a] = std::min(b.lo[a], reach[d[j]].lo[a]);
                b.hi[a] = std::max(b.hi[a], reach[d[j]].hi[a]);
            }
        for (std::uint64_t t : {2 * q, 2 * q + 1}) {
            moving.push_back(t);
            bound.push_back(b);
        }
    }
    return std::make_unique<MovingCrossings>(positions, triangles, moving, bound);
}

// Nearer the surface than this share of its cell, a vertex is left where
// the settling put it: lifting it the rest of the way turns more faces
// against the field than it gains.
constexpr double CLIMB_FROM = 0.1;

// The settling after the ladder (see repair_folds): per moved vertex, the
// share t of its way back kept so far (hi, clean) and the largest tried
// that was not (lo); each round tries the middle for all of them at once.
// Then the vertices still off the surface, near a crease, climb toward it.
void settle_moves(PlacedVertices& placed, const Ladder& ladder, std::span<const std::uint64_t> moved_ever,
                  std::span<const Quad> quads, std::vector<Triangle>& triangles,
                  const SurfaceProjection& project, Monitor& monitor) {
    const std::size_t m = moved_ever.size();
    std::vector<Vec3> end(m), kept(m), kept_gradient(m);
    std::vector<double> lo(m, 0.0), hi(m, 1.0);
    const bool normals = !placed.gradients.empty();
    for (std::size_t k = 0; k < m; ++k) {
        end[k] = kept[k] = placed.positions[moved_ever[k]];
        if (normals) kept_gradient[k] = placed.gradients[moved_ever[k]];
    }
    std::vector<Vec3> trial(m), gradient(m);
    std::vector<Box> boxes(m);
    for (std::size_t k = 0; k < m; ++k) boxes[k] = ladder.cell[moved_ever[k]];
    const std::unique_ptr<MovingCrossings> moving =
        moving_crossings(placed.positions, moved_ever, boxes, quads, triangles);
    const std::size_t n = placed.positions.size();
    // The first round tries the ladder's place itself, put back on the surface.
    for (int round = -1; round < SETTLE_ROUNDS; ++round) {
        monitor.check();
        const auto share = [&](std::size_t k) { return round < 0 ? 1.0 : 0.5 * (lo[k] + hi[k]); };
        for (std::size_t k = 0; k < m; ++k) trial[k] = lerp(ladder.solved[moved_ever[k]], end[k], share(k));
        project(trial, boxes, gradient);
        for (std::size_t k = 0; k < m; ++k) trial[k] = clamp_into(trial[k], boxes[k]);
        std::vector<std::uint8_t> trying(n, 0);
        for (std::uint64_t v : moved_ever) trying[v] = 1;
        try_moves(placed, moved_ever, trial, gradient, kept, kept_gradient, quads, triangles, trying, moving.get());
        for (std::size_t k = 0; k < m; ++k) {
            const std::uint64_t v = moved_ever[k];
            if (trying[v]) {
                hi[k] = share(k);
                kept[k] = placed.positions[v];
                if (normals) kept_gradient[k] = placed.gradients[v];
            } else if (round >= 0) {
                lo[k] = share(k);
            }
        }
    }
    // The climb, for each vertex still more than CLIMB_FROM of its cell off
    // the surface (no trial on it stayed clean, or the projection held in its
    // cell fell short): from where it is toward that place put on the
    // surface, by the largest share of the way (halved until clean) that
    // keeps the mesh clean. It keeps the gradient it had: at a crease the one
    // where it lands may be the other surface's, against which its triangles
    // face back. Only crossings stop it: where a lattice meets a clip, the
    // faces around such a vertex face back both off and on the surface, and
    // holding it off for them left vertices half a cell off both surfaces.
    std::vector<Vec3> top = kept, top_gradient(m);
    project(top, boxes, top_gradient);
    std::vector<std::size_t> climbing;
    for (std::size_t k = 0; k < m; ++k) {
        top[k] = clamp_into(top[k], boxes[k]);
        if (length(sub(top[k], kept[k])) > CLIMB_FROM * (boxes[k].hi[0] - boxes[k].lo[0])) climbing.push_back(k);
    }
    std::vector<double> way(m, 1.0);
    const std::vector<Vec3> start = kept;
    for (int round = 0; round < SETTLE_ROUNDS && !climbing.empty(); ++round) {
        monitor.check();
        std::vector<std::uint8_t> trying(n, 0);
        for (std::size_t k : climbing) {
            trying[moved_ever[k]] = 1;
            trial[k] = clamp_into(lerp(start[k], top[k], way[k]), boxes[k]);
        }
        try_moves(placed, moved_ever, trial, kept_gradient, kept, kept_gradient, quads, triangles, trying,
                  moving.get(), false);
        std::vector<std::size_t> still;
        for (std::size_t k : climbing) {
            const std::uint64_t v = moved_ever[k];
            if (trying[v]) {
                kept[k] = placed.positions[v];
                if (normals) kept_gradient[k] = placed.gradients[v];
            } else {
                way[k] *= 0.5;
                still.push_back(k);
            }
        }
        climbing = std::move(still);
    }
}

}  // namespace

RepairStats repair_folds(PlacedVertices& placed, std::span<const Quad> quads, std::vector<Triangle>& triangles,
                         const SurfaceCells& surface, Monitor& monitor, const SurfaceProjection& project) {
    RepairStats stats;
    if (placed.crossing_mean.size() != placed.positions.size() || placed.crossing_box.size() != placed.positions.size())
        fault("the repair needs the crossing points gathered with the vertices");
    // The first check looks everywhere. A mesh without crossings is left as
    // placed: a triangle facing back alone harms nothing a check can find,
    // and moving its vertex toward its crossing points would pull a sharp
    // corner off the surface. Most meshes come out clean, so this check
    // comes before the ladder, which they then never build (a pass and some
    // tens of bytes per vertex, all fresh memory), nor the facing test.
    monitor.check();
    std::vector<TrianglePair> first = intersecting_pairs(placed.positions, triangles, {});
    if (first.empty()) {
        stats.rounds = 1;
        placed.crossing_mean = {};
        placed.crossing_box = {};
        return stats;
    }
    const Ladder ladder = make_ladder(placed, surface);
    std::vector<std::uint8_t> step(placed.positions.size(), 0);
    // Triangles facing back count only beside a crossing, as they would in a
    // clean mesh, which is left alone: what the repair does to a vertex then
    // depends on the triangles near it only, so a tile repairs as the whole
    // mesh would.
    std::vector<std::uint8_t> folded(placed.positions.size(), 0);
    for (const TrianglePair& p : first)
        for (std::uint64_t t : p)
            for (std::uint64_t v : triangles[t]) folded[v] = 1;
    std::vector<std::uint8_t> focus = holding(triangles, folded);
    for (int ring = 1; ring < FACING_RINGS; ++ring) {
        for (std::size_t t = 0; t < triangles.size(); ++t)
            if (focus[t])
                for (std::uint64_t v : triangles[t]) folded[v] = 1;
        focus = holding(triangles, folded);
    }
    for (int round = 0; round < REPAIR_ROUNDS; ++round) {
        if (round > 0) monitor.check();
        ++stats.rounds;
        std::uint64_t pairs = first.size();
        const std::vector<std::uint8_t> bad = round == 0 ? bad_triangles(placed, triangles, focus, first)
                                                         : bad_triangles(placed, triangles, focus, pairs);
        if (round == 0) first = {};
        stats.unrepaired_pairs = pairs;
        if (round == REPAIR_ROUNDS - 1) break;
        std::vector<std::uint8_t> moved(placed.positions.size(), 0);
        bool any = false;
        for (std::size_t t = 0; t < triangles.size(); ++t) {
            monitor.check(t);
            if (!bad[t]) continue;
            // A vertex that left its cell is the likely culprit: the one
            // furthest out goes back first, and the others keep their places
            // meanwhile (two vertices of neighbouring cells on one corner
            // fold; the nearer keeps the corner).
            std::uint64_t culprit = PlacedVertices::NONE;
            double furthest = 0.0;
            for (std::uint64_t v : triangles[t]) {
                const double out = step[v] == 0 ? length(sub(ladder.solved[v], ladder.clamped[v])) : 0.0;
                if (out > furthest) {
                    furthest = out;
                    culprit = v;
                }
            }
            for (std::uint64_t v : triangles[t]) {
                if (moved[v] || step[v] >= ladder.last_rung[v] || (culprit != PlacedVertices::NONE && v != culprit))
                    continue;
                moved[v] = 1;
                any = true;
                stats.folds_fixed += step[v] == 0;
                step[v] = static_cast<std::uint8_t>(ladder.next(v, step[v]));
                placed.positions[v] = rung(ladder, v, step[v]);
            }
        }
        if (!any) break;
        // The next check looks at the triangles still bad, changed, or holding a moved vertex.
        const std::vector<std::uint8_t> changed = resplit_quads(quads, placed.positions, moved, triangles);
        focus = parallel_map<std::uint8_t>(triangles.size(), [&](std::size_t t) {
            const Triangle& tri = triangles[t];
            return std::uint8_t{(t < bad.size() && bad[t]) || changed[t] || moved[tri[0]] || moved[tri[1]] ||
                                moved[tri[2]]};
        });
    }
    // The search keeps every trial that leaves its own triangles clean; a
    // pair the ladder left crossing stays as it is, and holds back only the
    // trials that would touch it.
    if (project && stats.folds_fixed > 0) {
        std::vector<std::uint64_t> moved_ever;
        for (std::uint64_t v = 0; v < step.size(); ++v)
            if (step[v] > 0) moved_ever.push_back(v);
        settle_moves(placed, ladder, moved_ever, quads, triangles, project, monitor);
    }
    return stats;
}

namespace {

// Replaces triangle t, which holds the edge {lo, hi}, by its two halves at
// the new vertex m on that edge; the second half goes to the end.
void halve(std::vector<Triangle>& triangles, std::uint64_t t, std::uint64_t lo, std::uint64_t hi, std::uint64_t m) {
    const Triangle tri = triangles[t];
    for (unsigned k = 0; k < 3; ++k) {
        const std::uint64_t a = tri[k], b = tri[(k + 1) % 3], c = tri[(k + 2) % 3];
        if (std::min(a, b) != lo || std::max(a, b) != hi) continue;
        triangles[t] = {a, m, c};
        triangles.push_back({m, b, c});
        return;
    }
    fault("a paired triangle does not hold its edge");
}

// pair_crowded_edges of the whole mesh, from the triangles holding a vertex
// flagged `near` only. Halving never adds a triangle to an old edge (a new
// vertex's edges hold two), so every crowded edge was crowded before the
// first pass, and its lower vertex is flagged: its triangles are all there.
// An edge without a flagged vertex may be missing triangles, but it held at
// most two.
std::vector<CrowdedPair> pair_crowded_edges_near(const TriangleMesh& mesh, const std::vector<std::uint8_t>& near,
                                                 bool join_inside, Monitor& monitor) {
    std::vector<Triangle> some;
    std::vector<std::uint64_t> index;
    for (std::uint64_t t = 0; t < mesh.triangles.size(); ++t) {
        monitor.check(t);
        const Triangle& tri = mesh.triangles[t];
        if (!(near[tri[0]] || near[tri[1]] || near[tri[2]])) continue;
        some.push_back(tri);
        index.push_back(t);
    }
    std::vector<CrowdedPair> pairs = pair_crowded_edges(mesh.vertices, some, join_inside);
    for (CrowdedPair& p : pairs) {
        p.forward = index[p.forward];
        p.backward = index[p.backward];
    }
    return pairs;
}

// The corner of triangle `t` off the pair's edge.
std::uint64_t third(const Triangle& t, const CrowdedPair& p) {
    for (std::uint64_t v : t)
        if (v != p.lo && v != p.hi) return v;
    fault("a paired triangle holds its edge twice");
}

// Gives each pair of triangles on an edge shared by more than two a vertex
// of its own in the middle of the edge; `crowded` holds the lower vertex of
// each such edge. Returns the vertices added, in order.
std::vector<std::uint64_t> split_crowded_edges(TriangleMesh& mesh, std::span<const std::uint64_t> crowded,
                                               bool join_inside, Monitor& monitor, std::vector<MadeVertex>* made) {
    std::vector<std::uint64_t> added;
    std::vector<std::uint8_t> near(mesh.vertices.size(), 0);
    for (std::uint64_t v : crowded) near[v] = 1;
    // A triangle is halved at most once a pass; one with two crowded edges waits.
    for (int pass = 0; pass < 4; ++pass) {
        const std::vector<CrowdedPair> pairs = pair_crowded_edges_near(mesh, near, join_inside, monitor);
        if (pairs.empty()) break;
        std::vector<std::uint8_t> halved(mesh.triangles.size(), 0);
        for (const CrowdedPair& p : pairs) {
            if (halved[p.forward] || halved[p.backward]) continue;
            halved[p.forward] = halved[p.backward] = 1;
            const std::uint64_t m = mesh.vertices.size();
            mesh.vertices.push_back(lerp(mesh.vertices[p.lo], mesh.vertices[p.hi], 0.5));
            if (made) made->push_back({p.lo, p.hi, {third(mesh.triangles[p.forward], p), third(mesh.triangles[p.backward], p)}});
            near.push_back(0);
            if (!mesh.normals.empty()) {
                const Vec3& a = mesh.normals[p.lo];
                const Vec3& b = mesh.normals[p.hi];
                mesh.normals.push_back(unit_normal({a[0] + b[0], a[1] + b[1], a[2] + b[2]}));
            }
            halve(mesh.triangles, p.forward, p.lo, p.hi, m);
            halve(mesh.triangles, p.backward, p.lo, p.hi, m);
            added.push_back(m);
        }
    }
    return added;
}

// The fans of every corner after split_crowded_edges (`fan` before it; the
// vertices from `first_added` on are its new ones). Only the vertices of the
// triangles holding a new vertex (the halved ones and their halves) changed
// their triangles; every other vertex keeps its corners and so its fans.
void rescan_halved(const TriangleMesh& mesh, std::size_t first_added, std::vector<std::uint32_t>& fan,
                   Monitor& monitor) {
    std::vector<std::uint8_t> changed(mesh.vertices.size(), 0);
    for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
        monitor.check(i);
        const Triangle& t = mesh.triangles[i];
        if (t[0] >= first_added || t[1] >= first_added || t[2] >= first_added)
            for (std::uint64_t v : t) changed[v] = 1;
    }
    const VertexScan again = scan_vertices(mesh.triangles, mesh.vertices.size(), changed);
    fan.resize(again.fan.size(), 0);
    for (std::size_t c = 0; c < fan.size(); ++c)
        if (changed[mesh.triangles[c / 3][c % 3]]) fan[c] = again.fan[c];
}

// Puts the flagged vertices of split fans back onto the surface: the middle
// of an edge across a crease lies up to half a cell inside both surfaces.
// Each goes the largest share of the way (halved where triangles cross)
// toward its place put on the surface within the box of its fan; those of
// triangles still crossing at the end go back to where they were.
void lift_split(TriangleMesh& mesh, const std::vector<std::uint8_t>& split, const std::vector<std::uint8_t>& focus,
                const SurfaceProjection& project, Monitor& monitor) {
    constexpr std::uint64_t NONE = PlacedVertices::NONE;
    std::vector<std::uint64_t> lifted, index(mesh.vertices.size(), NONE);
    for (std::uint64_t v = 0; v < split.size(); ++v)
        if (split[v]) {
            index[v] = lifted.size();
            lifted.push_back(v);
        }
    const std::size_t m = lifted.size();
    std::vector<Vec3> start(m), top(m), gradients(m);
    std::vector<Box> boxes(m);
    for (std::size_t k = 0; k < m; ++k) {
        start[k] = top[k] = mesh.vertices[lifted[k]];
        boxes[k] = Box{start[k], start[k]};
    }
    for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
        monitor.check(i);
        const Triangle& t = mesh.triangles[i];
        for (std::uint64_t v : t) {
            if (index[v] == NONE) continue;
            Box& box = boxes[index[v]];
            for (std::uint64_t u : t)
                for (int a = 0; a < 3; ++a) {
                    box.lo[a] = std::min(box.lo[a], mesh.vertices[u][a]);
                    box.hi[a] = std::max(box.hi[a], mesh.vertices[u][a]);
                }
        }
    }
    project(top, boxes, gradients);
    std::vector<double> way(m, 1.0);
    for (int round = 0;; ++round) {
        monitor.check();
        for (std::size_t k = 0; k < m; ++k)
            mesh.vertices[lifted[k]] = clamp_into(lerp(start[k], top[k], way[k]), boxes[k]);
        const std::vector<TrianglePair> crossing = intersecting_pairs(mesh.vertices, mesh.triangles, focus);
        if (crossing.empty()) return;
        if (round == SETTLE_ROUNDS) break;
        std::vector<std::uint8_t> halved(m, 0);
        for (const TrianglePair& p : crossing)
            for (std::uint64_t t : p)
                for (std::uint64_t v : mesh.triangles[t])
                    if (index[v] != NONE && !halved[index[v]]) {
                        halved[index[v]] = 1;
                        way[index[v]] = round + 1 == SETTLE_ROUNDS ? 0.0 : 0.5 * way[index[v]];
                    }
    }
    // Still crossing: the lifted vertices of crossing triangles go back to
    // where they were split, until none is left to put back. Vertices away
    // from the crossings keep their lift, so each vertex's place depends on
    // the triangles near it only.
    for (;;) {
        monitor.check();
        bool any = false;
        for (const TrianglePair& p : intersecting_pairs(mesh.vertices, mesh.triangles, focus))
            for (std::uint64_t t : p)
                for (std::uint64_t v : mesh.triangles[t])
                    if (index[v] != NONE && mesh.vertices[v] != start[index[v]]) {
                        mesh.vertices[v] = start[index[v]];
                        any = true;
                    }
        if (!any) return;
    }
}

}  // namespace

std::uint64_t split_pinches(TriangleMesh& mesh, Monitor& monitor, bool join_inside, const SurfaceProjection& project,
                            std::vector<MadeVertex>* made) {
    VertexScan scan = scan_vertices(mesh.triangles, mesh.vertices.size());
    std::vector<std::uint64_t> pinched;
    // Edges of more than two triangles are rare: only then their pairing, and the fans again.
    if (scan.nonmanifold_edges > 0) {
        const std::size_t vertex_count = mesh.vertices.size();
        pinched = split_crowded_edges(mesh, scan.crowded_vertices, join_inside, monitor, made);
        rescan_halved(mesh, vertex_count, scan.fan, monitor);
    }
    const std::uint64_t midpoints = pinched.size();
    const std::vector<std::uint32_t> fan = std::move(scan.fan);
    // Fan (vertex, k > 0) gets a new vertex, numbered in order of its first corner.
    std::map<std::pair<std::uint64_t, std::uint32_t>, std::uint64_t> copies;
    const std::vector<std::size_t> pinching = parallel_gather<std::size_t>(
        fan.size(), [&](std::size_t c, std::vector<std::size_t>& out) {
            if (fan[c] != 0) out.push_back(c);
        });
    for (std::size_t k = 0; k < pinching.size(); ++k) {
        monitor.check(k);
        const std::size_t c = pinching[k];
        std::uint64_t& v = mesh.triangles[c / 3][c % 3];
        const auto [at, fresh] = copies.try_emplace({v, fan[c]}, mesh.vertices.size());
        if (fresh) {
            pinched.push_back(v);
            pinched.push_back(at->second);
            mesh.vertices.push_back(mesh.vertices[v]);
            if (made) made->push_back({v});
            if (!mesh.normals.empty()) mesh.normals.push_back(mesh.normals[v]);
        }
        v = at->second;
    }
    if (pinched.empty()) return 0;
    // Each vertex of a split fan moves toward the middle of its fan's other
    // vertices, so that the sheets that met there part; a tenth of the way,
    // halved where that makes triangles cross, to nothing.
    std::vector<std::uint8_t> split(mesh.vertices.size(), 0);
    for (std::uint64_t v : pinched) split[v] = 1;
    std::vector<Vec3> home(mesh.vertices.size()), sum(mesh.vertices.size(), Vec3{0.0, 0.0, 0.0});
    std::vector<std::uint32_t> count(mesh.vertices.size(), 0);
    for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
        monitor.check(i);
        const Triangle& t = mesh.triangles[i];
        for (unsigned k = 0; k < 3; ++k) {
            if (!split[t[k]]) continue;
            for (unsigned j = 1; j < 3; ++j)
                for (int a = 0; a < 3; ++a) sum[t[k]][a] += mesh.vertices[t[(k + j) % 3]][a];
            count[t[k]] += 2;
        }
    }
    std::vector<double> share(mesh.vertices.size(), 0.1);
    parallel_for(mesh.vertices.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t v = begin; v < end; ++v) {
            home[v] = mesh.vertices[v];
            if (split[v] && count[v] > 0)
                for (int a = 0; a < 3; ++a) sum[v][a] /= count[v];
        }
    });
    const std::vector<std::uint8_t> focus = parallel_map<std::uint8_t>(mesh.triangles.size(), [&](std::size_t t) {
        const Triangle& tri = mesh.triangles[t];
        return std::uint8_t{split[tri[0]] || split[tri[1]] || split[tri[2]]};
    });
    for (int attempt = 0;; ++attempt) {
        monitor.check();
        parallel_for(mesh.vertices.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t v = begin; v < end; ++v)
                if (split[v] && count[v] > 0) mesh.vertices[v] = lerp(home[v], sum[v], share[v]);
        });
        const std::vector<TrianglePair> crossing = intersecting_pairs(mesh.vertices, mesh.triangles, focus);
        if (crossing.empty() || attempt == 3) break;
        for (const TrianglePair& p : crossing)
            for (std::uint64_t t : p)
                for (std::uint64_t v : mesh.triangles[t])
                    if (split[v]) share[v] = attempt == 2 ? 0.0 : 0.5 * share[v];
    }
    if (project) lift_split(mesh, split, focus, project, monitor);
    return midpoints + copies.size();
}

}  // namespace quarvel
