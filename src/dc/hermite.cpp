#include "dc/hermite.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>
#include <cmath>

#include "core/fault.hpp"
#include "core/flat_map.hpp"
#include "core/monitor.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"
#include "core/vec3.hpp"

namespace quarvel {

namespace {

Vec3 lerp(const Vec3& p0, const Vec3& p1, double t) {
    return {p0[0] + t * (p1[0] - p0[0]), p0[1] + t * (p1[1] - p0[1]), p0[2] + t * (p1[2] - p0[2])};
}

// An edge by its lower corner at its cells' level, that level and its axis.
struct EdgeKey {
    std::uint32_t x = 0, y = 0, z = 0;
    std::uint8_t level = 0, axis = 0;
    bool operator==(const EdgeKey&) const = default;
    std::uint64_t hash_input() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^ (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL) ^
               (std::uint64_t{level} << 56) ^ (std::uint64_t{axis} << 48);
    }
};

EdgeKey edge_key(const SurfaceCell& cell, unsigned edge) {
    const unsigned a = CUBE_EDGES[edge][0];
    return {cell.key.x + bit_x(a), cell.key.y + bit_y(a), cell.key.z + bit_z(a), cell.key.level,
            static_cast<std::uint8_t>(edge / 4)};
}

// ---------------------------------------------------------------- the pipeline's search

// One crossing's search, in edge units t (0 at p0, 1 at p1), values minus iso.
struct Search {
    double t_lo, t_hi;
    double f_lo, f_hi;  // secant weights of the ends (Illinois halves one)
    double t, f;        // the last trial and its value
    double step;        // |t - the trial before|; the bracket's width before that
    double slope;       // df/dt there, when the field gave a gradient
    std::int8_t replaced;  // which end the last trial replaced: -1 low, +1 high
    bool done;
    bool low_below;  // whether the low end is below the iso value
    bool bisect;     // an occupancy field's: middles only, the ends' true values kept

    // Unset: an array of millions of searches is then made without touching
    // it, and each is started (of) on the pool.
    Search() {}
    // The search along an edge whose corners have the values f0 and f1, less the iso value.
    static Search of(double f0, double f1) {
        Search s;
        s.t_lo = 0.0;
        s.t_hi = 1.0;
        s.f_lo = f0;
        s.f_hi = f1;
        // A corner exactly at the iso value is the crossing (it counts as above).
        s.done = f0 == 0.0 || f1 == 0.0;
        s.t = f0 == 0.0 ? 0.0 : 1.0;
        s.f = 0.0;
        s.step = 1.0;
        s.slope = NAN;
        s.replaced = 0;
        s.low_below = f0 < 0;
        s.bisect = false;
        return s;
    }

    double middle() const { return 0.5 * (t_lo + t_hi); }

    // Where the line through the bracket's ends crosses: the middle for a
    // pure step, the crossing itself where a clipped field is linear there.
    double interpolated() const {
        const double x = t_lo + (t_hi - t_lo) * (f_lo / (f_lo - f_hi));
        return inside(x) ? x : middle();
    }

    // Where the search ends: its last trial when converged, else the middle
    // of its bracket, or, bisecting, the interpolation of its ends.
    double result() const {
        if (bisect && f != 0.0) return interpolated();
        return done ? t : middle();
    }
    bool inside(double x) const { return std::isfinite(x) && x > t_lo && x < t_hi; }

    // The next trial: Newton while it stays inside and at least halves the
    // step, else the secant of the ends, else the middle.
    double next_trial(bool first) const {
        if (bisect) return middle();
        if (!first && std::isfinite(slope)) {
            const double newton = t - f / slope;
            if (inside(newton) && std::fabs(newton - t) <= 0.5 * step) return newton;
            return middle();
        }
        const double secant = t_lo + (t_hi - t_lo) * f_lo / (f_lo - f_hi);
        return inside(secant) ? secant : middle();
    }

    // Takes the value (and gradient) at trial `x`; `edge_vector` = p1 - p0.
    // The caller keeps the gradient: only its slope along the edge is needed here.
    void take(double x, double fx, const std::optional<Vec3>& g, const Vec3& edge_vector, bool first) {
        step = first ? t_hi - t_lo : std::fabs(x - t);
        // The secant through this trial and the one before (the corners, for
        // the first): the step it would take next, were it taken.
        const double secant_slope = first ? (f_hi - f_lo) / (t_hi - t_lo) : (fx - f) / (x - t);
        const double secant_step = std::fabs(fx / secant_slope);
        t = x;
        f = fx;
        slope = g ? dot(*g, edge_vector) : NAN;
        if (fx == 0.0) {
            done = true;
            return;
        }
        if ((fx < 0) == low_below) {
            t_lo = x;
            f_lo = fx;
            if (replaced == -1 && !bisect) f_hi *= 0.5;
            replaced = -1;
        } else {
            t_hi = x;
            f_hi = fx;
            if (replaced == 1 && !bisect) f_lo *= 0.5;
            replaced = 1;
        }
        if (bisect) {
            done = t_hi - t_lo <= STEP_BRACKET;
            return;
        }
        const double newton_step = std::fabs(f / slope);
        const bool newton_converged = g && std::isfinite(newton_step) && newton_step <= SEARCH_TOLERANCE;
        const bool secant_converged = !g && (step <= SECANT_TOLERANCE || secant_step <= SECANT_TOLERANCE);
        // Infinite values (an occupancy field) tell only sides: bisecting them
        // further than the engine does places nothing better.
        const double enough = std::isfinite(fx) ? SEARCH_TOLERANCE : 1.0 / 256.0;
        done = newton_converged || secant_converged || t_hi - t_lo <= enough;
    }
};

// Whether a search's first trial (the secant of its corner values f0, f1)
// misses as an occupancy field's does (SECANT_MISS); `g` the gradient there, if given.
bool secant_missed(double f0, double f1, const Search& s, const std::optional<Vec3>& g) {
    const double nearer = std::fmin(std::fabs(f0), std::fabs(f1));
    if (!std::isfinite(s.f) || !std::isfinite(std::fabs(f0) + std::fabs(f1))) return true;
    if (std::fabs(s.f) > SECANT_MISS * nearer) return true;
    return g && s.f != 0.0 && (!is_finite(*g) || ((*g)[0] == 0.0 && (*g)[1] == 0.0 && (*g)[2] == 0.0));
}

}  // namespace

unsigned crossing_component(const SurfaceCell& cell, unsigned e) {
    const auto [a, b] = CUBE_EDGES[e];
    return static_cast<unsigned>(component_of(components_of(cell), below(cell, a) ? a : b));
}

Vec3 edge_point(const SurfaceCell& cell, unsigned e, double t) {
    return lerp(corner_position(cell, CUBE_EDGES[e][0]), corner_position(cell, CUBE_EDGES[e][1]), t);
}

// The bracket [lo, hi] of round r is [b, b + 1] / 2^r: both ends and their
// midpoint are exact in binary, so the searched t values are formed exactly.
Vec3 crossing_point(const SurfaceCell& cell, unsigned e, std::uint8_t bracket) {
    return edge_point(cell, e, (2.0 * bracket + 1.0) * (1.0 / (2 << BISECTION_ROUNDS)));
}

Crossings build_crossings(const SurfaceCells& surface) {
    // Counted per cell in parallel, placed by the running sum, then listed in parallel.
    const std::size_t n = surface.cells.size();
    const std::vector<std::uint8_t> count = parallel_map<std::uint8_t>(n, [&](std::size_t c) {
        std::uint8_t k = 0;
        for_each_crossing_edge(surface.cells[c], [&](unsigned) { ++k; });
        return k;
    });
    Crossings out;
    out.first.resize(n + 1);
    for (std::size_t c = 0; c < n; ++c) out.first[c + 1] = out.first[c] + count[c];
    out.edge.resize(out.first[n]);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::uint64_t i = out.first[c];
            for_each_crossing_edge(surface.cells[c], [&](unsigned e) { out.edge[i++] = static_cast<std::uint8_t>(e); });
        }
    });
    return out;
}

void locate_crossings(FieldSampler& sampler, const SurfaceCells& surface, Crossings& crossings,
                      double iso_value) {
    const std::size_t n = crossings.count(), cells = surface.cells.size();
    // Per crossing: b of its bracket [b, b + 1] / 2^round, and whether the
    // field is below the iso value at the lower end (only its sign is read).
    std::vector<std::uint8_t>& lo = crossings.bracket;
    lo.assign(n, 0);
    std::vector<std::uint8_t> lo_below(n);
    parallel_for(cells, [&](std::size_t begin, std::size_t end) {
        for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
            lo_below[i] = below(surface.cells[c], CUBE_EDGES[e][0]);
        });
    });
    for (int round = 0; round < BISECTION_ROUNDS; ++round) {
        const double scale = 1.0 / (2 << round);  // midpoint (2b + 1) / 2^(round + 1)
        const auto trial_points = [&](std::span<Vec3> points) {
            parallel_for(cells, [&](std::size_t begin, std::size_t end) {
                for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
                    points[i] = edge_point(surface.cells[c], e, (2.0 * lo[i] + 1.0) * scale);
                });
            });
        };
        sampler.values(n, trial_points, [&](std::span<const double> values) {
            // Read in crossing order, so a short array faults at its length.
            if (values.size() < n) index_fault(values.size(), values.size());
            parallel_for(n, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const bool fm_below = values[i] - iso_value < 0;
                    // A sign change keeps the lower half: b doubles; else the upper.
                    const bool keep_lower = fm_below != bool(lo_below[i]);
                    lo[i] = static_cast<std::uint8_t>(2 * lo[i] + (keep_lower ? 0 : 1));
                    if (!keep_lower) lo_below[i] = fm_below;
                }
            });
        });
    }
}

FillPoints crossing_points(const SurfaceCells& surface, const Crossings& crossings) {
    return [&surface, &crossings](std::span<Vec3> points) {
        parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
            for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
                points[i] = crossing_point(surface.cells[c], e, crossings.bracket[i]);
            });
        });
    };
}

namespace {

// Per sign mask: bit e set where edge e changes sign.
constexpr std::array<std::uint16_t, 256> kCrossingEdges = [] {
    std::array<std::uint16_t, 256> out{};
    for (unsigned mask = 0; mask < 256; ++mask)
        for (unsigned e = 0; e < 12; ++e)
            if (((mask >> CUBE_EDGES[e][0]) & 1u) != ((mask >> CUBE_EDGES[e][1]) & 1u))
                out[mask] |= static_cast<std::uint16_t>(1u << e);
    return out;
}();

// Each distinct edge's corners and values, from its first crossing.
void fill_distinct_edges(const SurfaceCells& surface, const Crossings& crossings, double iso_value,
                         DistinctEdges& out, const std::vector<std::uint8_t>& first, std::uint32_t edges) {
    out.edges.resize(edges);
    out.f1.resize(edges);
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
            if (!first[i]) return;
            const std::uint32_t id = out.edge_of[i];
            const auto [a, b] = CUBE_EDGES[e];
            const SurfaceCell& cell = surface.cells[c];
            out.edges[id] = {corner_position(cell, a), corner_position(cell, b), surface.values[c][a] - iso_value,
                             c, static_cast<std::uint8_t>(e)};
            out.f1[id] = surface.values[c][b] - iso_value;
        });
    });
}

// Crossings per block of the numbering's scan: fixed, so the blocks are the
// same for any number of threads.
constexpr std::size_t kNumberingBlock = std::size_t{1} << 15;

// Per crossing, the crossing that first meets its edge, found through the
// cells around the edge: the first-listed of them holds it, since the
// crossings run cell by cell. Fills `id` with the edge numbers and `first`.
void first_crossings_by_lattice(const SurfaceCells& surface, const Crossings& crossings, const CellLookup& lookup,
                                std::vector<std::uint32_t>& id, std::vector<std::uint8_t>& first,
                                std::uint32_t& edges) {
    const std::size_t n = crossings.count(), cells = surface.cells.size();
    std::vector<std::uint64_t> owner(n);
    parallel_for(cells, [&](std::size_t begin, std::size_t end) {
        for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
            check_active(i);
            const unsigned d = e / 4, k = e % 4;
            const unsigned u = OTHER_AXES[d][0], v = OTHER_AXES[d][1];
            const CellKey& key = surface.cells[c].key;
            const std::uint64_t last = (std::uint64_t{1} << key.level) - 1;
            // Codes order the cells as the list does: of the cells around the
            // edge, only those of lower codes can come first, and the first of
            // those present, by code, does. The edge's own corner (k = 3) has
            // none below it.
            const bool u_up = k & 1u, v_up = k & 2u;
            const bool u_in = u_up ? key[u] < last : key[u] > 0, v_in = v_up ? key[v] < last : key[v] > 0;
            const std::uint64_t own = lookup.code(c);
            std::array<std::pair<std::uint64_t, unsigned>, 3> lower;
            unsigned count = 0;
            for (unsigned q = 1; q < 4; ++q) {
                if (((q & 1u) && !u_in) || ((q & 2u) && !v_in)) continue;
                std::uint64_t code = own;
                if (q & 1u) code = CellLookup::step_code(code, u, u_up);
                if (q & 2u) code = CellLookup::step_code(code, v, v_up);
                if (code >= own) continue;
                unsigned j = count++;  // kept in order of code as they come
                for (; j > 0 && lower[j - 1].first > code; --j) lower[j] = lower[j - 1];
                lower[j] = {code, q};
            }
            std::uint64_t at = c;
            unsigned at_k = k;
            for (unsigned j = 0; j < count; ++j)
                if (const std::uint64_t near = lookup.find_code(lower[j].first); near != CellLookup::NONE) {
                    at = near;
                    at_k = k ^ lower[j].second;
                    break;
                }
            const unsigned at_e = edge_along(d, at_k);
            const unsigned held = kCrossingEdges[surface.cells[at].sign_mask];
            if (!((held >> at_e) & 1u)) fault("an edge changes sign in one cell and not in its neighbour");
            owner[i] = crossings.first[at] + static_cast<unsigned>(std::popcount(held & ((1u << at_e) - 1u)));
            first[i] = owner[i] == i;
        });
    });
    // Edges numbered by their first crossings, in crossing order.
    const std::size_t blocks = (n + kNumberingBlock - 1) / kNumberingBlock;
    std::vector<std::uint64_t> before = parallel_map<std::uint64_t>(blocks, [&](std::size_t b) {
        std::uint64_t count = 0;
        for (std::size_t i = b * kNumberingBlock; i < std::min(n, (b + 1) * kNumberingBlock); ++i) count += first[i];
        return count;
    });
    std::uint64_t total = 0;
    for (std::uint64_t& b : before) total += std::exchange(b, total);
    if (total > std::numeric_limits<std::uint32_t>::max()) fault("more distinct edges than 32-bit numbers");
    edges = static_cast<std::uint32_t>(total);
    parallel_for(blocks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            auto next = static_cast<std::uint32_t>(before[b]);
            for (std::size_t i = b * kNumberingBlock; i < std::min(n, (b + 1) * kNumberingBlock); ++i)
                if (first[i]) id[i] = next++;
        }
    }, 1);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            if (!first[i]) id[i] = id[owner[i]];
    });
}

}  // namespace

DistinctEdges distinct_edges(const SurfaceCells& surface, const Crossings& crossings,
                             double iso_value) {
    if (surface.values.size() != surface.cells.size()) fault("surface cells without corner values");
    const std::size_t n = crossings.count(), cells = surface.cells.size();
    const CellLookup lookup(surface.cells);
    if (lookup.by_code()) {
        DistinctEdges out;
        std::vector<std::uint8_t> first(n);
        std::uint32_t edges = 0;
        out.edge_of.resize(n);
        first_crossings_by_lattice(surface, crossings, lookup, out.edge_of, first, edges);
        fill_distinct_edges(surface, crossings, iso_value, out, first, edges);
        return out;
    }
    // The edges are split into shards by a hash of their keys, one map per
    // shard on the pool. A shard numbers its edges in crossing order, so each
    // edge's first crossing, and with it the numbering below, is the same for
    // any number of shards. Every shard reads every crossing: a few suffice.
    constexpr std::size_t kMaxShards = 8;
    const std::size_t shards =
        n < (std::size_t{1} << 14) ? 1 : std::min(pool_thread_count(), kMaxShards);
    const std::uint64_t seed = next_table_seed();
    const auto shard_of = [&](const EdgeKey& key) -> std::size_t {
        return shards == 1 ? 0 : mix64(key.hash_input() ^ seed) % shards;
    };
    const auto key_of = [&](std::size_t c, unsigned e) { return edge_key(surface.cells[c], e); };
    DistinctEdges out;
    std::vector<std::uint32_t>& id = out.edge_of;  // per crossing: its edge within its shard, then overall
    id.resize(n);
    std::vector<std::uint8_t> first(n);  // whether the crossing is its edge's first
    std::vector<std::vector<std::uint32_t>> overall(shards);  // per shard and edge: its number overall
    parallel_for(
        shards,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t s = begin; s < end; ++s) {
                FlatMap<EdgeKey, std::uint32_t> index(n / (2 * shards));
                // Each key's slot is fetched a few crossings before it is
                // looked up, in crossing order still.
                struct Pending {
                    EdgeKey key;
                    std::uint64_t crossing;
                };
                constexpr std::size_t kAhead = 16;
                std::array<Pending, kAhead> ahead;
                std::size_t queued = 0;
                const auto look_up = [&](const Pending& p) {
                    const auto next = static_cast<std::uint32_t>(index.size());
                    id[p.crossing] = index.find_or_insert(p.key, next);
                    first[p.crossing] = id[p.crossing] == next;
                };
                for_each_crossing(crossings, 0, cells, [&](std::size_t c, unsigned e, std::uint64_t i) {
                    check_active(i);
                    const EdgeKey key = key_of(c, e);
                    if (shard_of(key) != s) return;
                    index.prefetch(key);
                    Pending& p = ahead[queued++ % kAhead];
                    if (queued > kAhead) look_up(p);
                    p = {key, i};
                });
                for (std::size_t k = queued > kAhead ? queued - kAhead : 0; k < queued; ++k)
                    look_up(ahead[k % kAhead]);
                overall[s].resize(index.size());
            }
        },
        2);
    // Edges numbered by their first crossings, in crossing order.
    std::uint32_t edges = 0;
    for_each_crossing(crossings, 0, cells, [&](std::size_t c, unsigned e, std::uint64_t i) {
        check_active(i);
        if (first[i]) overall[shard_of(key_of(c, e))][id[i]] = edges++;
    });
    parallel_for(cells, [&](std::size_t begin, std::size_t end) {
        for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
            id[i] = overall[shard_of(key_of(c, e))][id[i]];
        });
    });
    fill_distinct_edges(surface, crossings, iso_value, out, first, edges);
    return out;
}

namespace {

// After the first round: counts the searches whose trial missed, in order
// (the same verdict for any number of threads), and when most did, turns the
// open ones to bisection and drops the gradients, which a step makes meaningless.
void judge_first_trials(std::span<const EdgeCrossing> crossings, std::span<const double> f1,
                        std::span<const std::size_t> open, std::vector<Search>& searches, Located& out) {
    std::size_t missed = 0;
    for (const std::size_t i : open)
        missed += secant_missed(crossings[i].f0, f1[i], searches[i], out.gradients[i]);
    if (2 * missed <= open.size()) return;
    out.field_kind = FieldKind::occupancy;
    for (const std::size_t i : open) {
        out.gradients[i].reset();
        Search& s = searches[i];
        // A Newton step that converged on a zero gradient converged on nothing.
        s.bisect = s.f != 0.0;
        s.done = !s.bisect || s.t_hi - s.t_lo <= STEP_BRACKET;
    }
}

}  // namespace

Located solve_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                        std::span<const double> f1, double iso_value, Monitor& monitor, bool detect_occupancy) {
    const std::size_t n = crossings.size();
    // Each search reads and writes only its own state, so the steps between
    // field calls run in parallel; the list of open searches stays in order.
    std::vector<Search> searches(n);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) searches[i] = Search::of(crossings[i].f0, f1[i]);
    });
    std::vector<std::size_t> open = parallel_gather<std::size_t>(n, [&](std::size_t i, std::vector<std::size_t>& out) {
        if (!searches[i].done) out.push_back(i);
    });
    Located out;
    out.gradients.resize(n);  // the field's gradient at each search's last trial
    std::vector<double> trials;
    std::vector<Vec3> points;
    for (int round = 0; round < SEARCH_ROUNDS && !open.empty(); ++round) {
        trials.resize(open.size());
        points.resize(open.size());
        parallel_for(open.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const EdgeCrossing& c = crossings[open[k]];
                trials[k] = searches[open[k]].next_trial(round == 0);
                points[k] = lerp(c.p0, c.p1, trials[k]);
            }
        });
        const BatchResult batch = sampler.given(points);
        parallel_for(open.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::size_t i = open[k];
                const EdgeCrossing& c = crossings[i];
                std::optional<Vec3>& g = out.gradients[i];
                g.reset();
                if (batch.gradients) g = checked_at(*batch.gradients, k);
                searches[i].take(trials[k], checked_at(batch.values, k) - iso_value, g, sub(c.p1, c.p0),
                                 round == 0);
            }
        });
        if (round == 0 && detect_occupancy) judge_first_trials(crossings, f1, open, searches, out);
        open = parallel_filter(std::span<const std::size_t>(open), [&](std::size_t k) { return !searches[open[k]].done; });
        monitor.report(Stage::crossings, n - open.size(), n);
    }
    out.points.resize(n);
    out.values.resize(n);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Search& s = searches[i];
            out.points[i] = lerp(crossings[i].p0, crossings[i].p1, s.result());
            out.values[i] = s.done && !s.bisect ? s.f + iso_value : NAN;
        }
    });
    return out;
}

Vec3 lattice_gradient(const SurfaceCell& cell, const std::array<double, 8>& values, const Vec3& p) {
    const Vec3 u = {(p[0] - cell.min[0]) / cell.edge, (p[1] - cell.min[1]) / cell.edge,
                    (p[2] - cell.min[2]) / cell.edge};
    Vec3 g{0.0, 0.0, 0.0};
    for (unsigned axis = 0; axis < 3; ++axis) {
        const auto [a, b] = OTHER_AXES[axis];
        // The difference across the cell along `axis`, interpolated over the other two.
        for (unsigned i = 0; i < 8; ++i) {
            if (bit_on(i, axis)) continue;
            const double w = (bit_on(i, a) ? u[a] : 1.0 - u[a]) * (bit_on(i, b) ? u[b] : 1.0 - u[b]);
            g[axis] += w * (values[i | (1u << axis)] - values[i]);
        }
        g[axis] /= cell.edge;
    }
    return g;
}

Vec3 unit_normal(const Vec3& g) {
    const double len = length_without_overflow(g);
    if (!(len > 1e-12) || std::isinf(len)) return {0.0, 0.0, 1.0};
    return {g[0] / len, g[1] / len, g[2] / len};
}

namespace {

// The slope along an edge at its crossing t (in edge lengths) from the
// parabola through the corner values f0, f1 and the crossing's zero: the
// chord's slope is that of the edge's middle, a curvature term off.
double slope_at_crossing(double f0, double f1, double t) {
    const double chord = f1 - f0;
    if (!(t > 0.01 && t < 0.99)) return chord;
    const double c = (-f0 - t * chord) / (t * t - t);  // the parabola's x^2 term
    return chord - c + 2.0 * c * t;
}

// The cells wholly inside the clip's box with a corner where the wall's value
// stood in for the field's (the clip keeps the greater): a field steeper than
// the wall was raised there, and its trilinear gradients are not the field's.
// Cells the wall runs through are left to the crease test.
std::vector<std::uint8_t> raised_by_wall(const SurfaceCells& surface, double iso_value, const Box& clip) {
    return parallel_map<std::uint8_t>(surface.cells.size(), [&](std::size_t c) {
        bool raised = false;
        for (unsigned a = 0; a < 8; ++a) {
            const double wall = signed_distance(clip, corner_position(surface.cells[c], a)).value;
            if (!(wall < 0.0)) return std::uint8_t{0};
            const double f = surface.values[c][a] - iso_value;
            // The clip stored wall + iso: equal to rounding, and to where the
            // corner was sampled.
            raised = raised || std::fabs(f - wall) <= 1e-9 * (std::fabs(wall) + std::fabs(iso_value) +
                                                                surface.cells[c].edge);
        }
        return std::uint8_t{raised};
    });
}

// Normals of the distinct edges from the surface cells' corner values: each
// the mean of the trilinear gradients at its crossing of the four cells around
// it (central differences across the edge), with the slope along it from
// slope_at_crossing. An edge with fewer cells (at the cube's side), or whose
// cells' gradients disagree as a crease between them makes them (forward and
// backward differences apart by more than CREASE_TOLERANCE of the mean's
// length), gets none: the caller differences the field there.
std::vector<std::optional<Vec3>> normals_from_lattice(const SurfaceCells& surface, const Crossings& crossings,
                                                      const DistinctEdges& distinct, std::span<const Vec3> points,
                                                      std::span<const std::uint8_t> untrusted) {
    const std::size_t edges = distinct.edges.size(), cells = surface.cells.size();
    std::vector<Vec3> each(crossings.count());
    std::vector<std::uint8_t> each_untrusted(crossings.count());
    parallel_for(cells, [&](std::size_t begin, std::size_t end) {
        for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned, std::uint64_t i) {
            each[i] = lattice_gradient(surface.cells[c], surface.values[c], points[distinct.edge_of[i]]);
            each_untrusted[i] = !untrusted.empty() && untrusted[c];
        });
    });
    struct Gathered {
        Vec3 sum{}, lo{}, hi{};
        std::uint8_t count = 0;
        bool untrusted = false;
    };
    std::vector<Gathered> gathered(edges);
    // In crossing order, so the sums are the same for any number of threads.
    for (std::uint64_t i = 0; i < crossings.count(); ++i) {
        Gathered& g = gathered[distinct.edge_of[i]];
        g.untrusted = g.untrusted || each_untrusted[i];
        for (int a = 0; a < 3; ++a) {
            g.sum[a] += each[i][a];
            g.lo[a] = g.count ? std::fmin(g.lo[a], each[i][a]) : each[i][a];
            g.hi[a] = g.count ? std::fmax(g.hi[a], each[i][a]) : each[i][a];
        }
        ++g.count;
    }
    return parallel_map<std::optional<Vec3>>(edges, [&](std::size_t e) -> std::optional<Vec3> {
        const Gathered& g = gathered[e];
        if (g.count != 4 || g.untrusted) return std::nullopt;
        Vec3 mean = {g.sum[0] / 4.0, g.sum[1] / 4.0, g.sum[2] / 4.0};
        const double len = length_without_overflow(mean);
        if (!(len > 0.0) || !std::isfinite(len)) return std::nullopt;
        for (int a = 0; a < 3; ++a)
            if (!(g.hi[a] - g.lo[a] <= LATTICE_SPREAD * len)) return std::nullopt;
        const EdgeCrossing& edge = distinct.edges[e];
        const unsigned axis = edge.edge / 4;
        const double width = edge.p1[axis] - edge.p0[axis];
        const double t = (points[e][axis] - edge.p0[axis]) / width;
        mean[axis] = slope_at_crossing(edge.f0, distinct.f1[e], t) / width;
        return mean;
    });
}

// Drops the lattice normals of every edge of a cell where two of them are
// further apart than the sharp-feature angle (`sharp_cos` its cosine), or
// where one is missing: near an edge or corner of the shape an estimate
// blends the faces, and the vertex placed from it would round the feature.
// (Half the angle would also drop most cells of a surface curving by a cell
// over five or so, a lattice's, where the four cells' estimates agree.)
void drop_near_features(const SurfaceCells& surface, const Crossings& crossings,
                        std::span<const std::uint32_t> edge_of, double sharp_cos,
                        std::vector<std::optional<Vec3>>& estimated) {
    const double least_cos = std::clamp(sharp_cos, -1.0, 1.0);
    const std::vector<std::uint8_t> near = parallel_map<std::uint8_t>(surface.cells.size(), [&](std::size_t c) {
        std::array<Vec3, 12> mine;
        std::size_t count = 0;
        for (std::uint64_t i = crossings.first[c]; i < crossings.first[c + 1]; ++i) {
            const std::optional<Vec3>& g = estimated[edge_of[i]];
            if (!g) return std::uint8_t{1};
            mine[count++] = unit_normal(*g);
        }
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t j = i + 1; j < count; ++j)
                if (!(dot(mine[i], mine[j]) >= least_cos)) return std::uint8_t{1};
        return std::uint8_t{0};
    });
    // Serially: cells sharing an edge both write it.
    for (std::size_t c = 0; c < surface.cells.size(); ++c)
        if (near[c])
            for (std::uint64_t i = crossings.first[c]; i < crossings.first[c + 1]; ++i) estimated[edge_of[i]].reset();
}

// The pipeline's Hermite data: each distinct edge solved once; normals from
// the search's last gradients, central differences where the field gave none
// (with smaller stencils where one straddles a crease, when `options.crease_normals`).
void solve_each_edge(FieldSampler& sampler, const SurfaceCells& surface, double iso_value,
                     const DcOptions& options, double sharp_cos, const std::optional<Box>& clip,
                     Crossings& crossings, Monitor& monitor) {
    DistinctEdges distinct = distinct_edges(surface, crossings, iso_value);
    const std::size_t n = distinct.edges.size();
    Located located =
        solve_crossings(sampler, distinct.edges, distinct.f1, iso_value, monitor, options.detect_occupancy);
    crossings.field_kind = located.field_kind;
    if (located.field_kind == FieldKind::occupancy) {
        // Vertices go to the mass points of their crossings: no normals wanted.
        crossings.solved_edge = std::move(distinct.edge_of);
        crossings.solved_points = std::move(located.points);
        crossings.solved_normals.assign(n, Vec3{0.0, 0.0, 0.0});
        return;
    }
    std::vector<Vec3> normals = parallel_map<Vec3>(n, [&](std::size_t e) {
        return located.gradients[e] ? unit_normal(*located.gradients[e]) : Vec3{};
    });
    bool field_gives_gradients = false;
    for (std::size_t e = 0; e < n && !field_gives_gradients; ++e)
        field_gives_gradients = located.gradients[e].has_value();
    crossings.gradients_absent = !field_gives_gradients;
    // A field without gradients: the corner values already held give most
    // normals, each saving the six evaluations of a difference.
    if (!field_gives_gradients && options.lattice_normals && !surface.values.empty()) {
        std::vector<std::optional<Vec3>> estimated =
            normals_from_lattice(surface, crossings, distinct, located.points,
                                 clip ? raised_by_wall(surface, iso_value, *clip) : std::vector<std::uint8_t>{});
        drop_near_features(surface, crossings, distinct.edge_of, sharp_cos, estimated);
        crossings.lattice_cells = parallel_map<std::uint8_t>(surface.cells.size(), [&](std::size_t c) {
            for (std::uint64_t i = crossings.first[c]; i < crossings.first[c + 1]; ++i)
                if (!estimated[distinct.edge_of[i]]) return std::uint8_t{0};
            return std::uint8_t{1};
        });
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t e = begin; e < end; ++e)
                if (estimated[e]) {
                    normals[e] = unit_normal(*estimated[e]);
                    located.gradients[e] = estimated[e];
                }
        });
    }
    const std::vector<std::size_t> without = parallel_gather<std::size_t>(n, [&](std::size_t e, std::vector<std::size_t>& out) {
        if (!located.gradients[e]) out.push_back(e);
    });
    const std::vector<Vec3> unknown =
        parallel_map<Vec3>(without.size(), [&](std::size_t k) { return located.points[without[k]]; });
    const std::vector<double> centre_values =
        parallel_map<double>(without.size(), [&](std::size_t k) { return located.values[without[k]]; });
    // Where the search ended without a gradient: ask the field when it gives
    // them, else estimate them.
    const std::uint64_t before = sampler.evaluations();
    const std::vector<Vec3> gradients =
        field_gives_gradients     ? sampler.sample(unknown).gradients
        : options.crease_normals ? sampler.differences(unknown, centre_values, CREASE_TOLERANCE,
                                                        CREASE_REFINEMENTS).gradients
                                  : sampler.differences(unknown);
    crossings.normal_evaluations = sampler.evaluations() - before;
    parallel_for(without.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) normals[without[k]] = unit_normal(checked_at(gradients, k));
    });
    crossings.solved_edge = std::move(distinct.edge_of);
    crossings.solved_points = std::move(located.points);
    crossings.solved_normals = std::move(normals);
}

}  // namespace

Crossings hermite_samples(FieldSampler& sampler, const SurfaceCells& surface, double iso_value,
                          const DcOptions& options, Monitor& monitor, double sharp_cos,
                          const std::optional<Box>& clip) {
    Crossings crossings = build_crossings(surface);
    if (options.crossings == DcOptions::Crossings::bisect_each_cell)
        locate_crossings(sampler, surface, crossings, iso_value);
    else
        solve_each_edge(sampler, surface, iso_value, options, sharp_cos, clip, crossings, monitor);
    return crossings;
}

}  // namespace quarvel
