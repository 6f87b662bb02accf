// The guard against surface hidden between samples. Corner signs alone call a
// cell empty (or full) when a small piece of surface passes between its
// corners. For a field whose values change by at most L per unit of distance
// the corners can prove it instead: around a corner c with value f, the ball
// of radius |f - iso| / L holds no surface. A cell whose corners lie on one
// side is proven when these balls cover it; the test checks that each of its
// eight octants lies inside one ball (strictly). Any other cell is examined
// further.
//
// A field that bounds its values over boxes (a compiled program) proves cells
// exactly instead: a cell whose bounds lie on one side of the iso value holds
// no surface, whatever the field's slope, so no Lipschitz factor is assumed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/flat_map.hpp"
#include "eval/evaluator.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// The cells whose bounds prove them free of surface, from one field call per
// batch of cells. A cell not bounded yet counts as unproven.
class CellBounds {
public:
    explicit CellBounds(Evaluator& field) : field_(field) {}
    // Whether the field gives bounds at all (no call made when it does not).
    bool available();
    // Bounds the cells of `cells` not bounded yet, in one call.
    void bound(const Octree& tree, std::span<const CellKey> cells);
    bool bounded(const CellKey& cell) const { return bounded_.contains(cell); }
    bool proven(const CellKey& cell) const { return proven_.contains(cell); }

    std::uint64_t bounded_count() const noexcept { return bounded_.size(); }
    std::uint64_t proven_count() const noexcept { return proven_.size(); }

private:
    Evaluator& field_;
    FlatSet<CellKey> bounded_;
    FlatSet<CellKey> proven_;
};

// How a build accepts uniform cells: by corner signs (inactive: the engine's
// rule) or only when the corners prove them (active).
struct EmptinessProof {
    bool active = false;
    double lipschitz = 1.0;  // L: the most the field's value changes per unit of distance
    // When set, cells are proven by these bounds alone, and must be bounded
    // (prepare()) before they are judged.
    CellBounds* bounds = nullptr;

    // Bounds the uniform cells among `cells`, ahead of judging them. Nothing
    // without bounds.
    void prepare(const Octree& tree, const CornerCache& cache, std::span<const CellKey> cells) const;

    // Whether `cell` (its corners cached) is uniform by its corner signs but not
    // proven so: every corner finite and on one side, and some octant in none
    // of the corners' balls. False when inactive. A cell with an infinite
    // corner value is judged by its signs. With bounds: every corner on one
    // side and the cell's bounds not.
    bool unproven(const Octree& tree, const CornerCache& cache, const CellKey& cell) const;
};

// The uniform cells a refinement loop has still to judge: at first every
// uniform leaf coarser than max_depth, then only the children of the cells each
// step refined, since nothing else is new. Each cell is judged once.
class Examination {
public:
    Examination(const Octree& tree, const EmptinessProof& proof);
    // The candidates that are unproven uniform leaves of the tree, in order; the
    // candidates are then spent.
    std::vector<CellKey> unproven(const Octree& tree, const CornerCache& cache);
    // After a step that subdivided `cells` by one level, their children coarser
    // than max_depth are the candidates.
    void refined(std::span<const CellKey> cells, unsigned max_depth);

private:
    const EmptinessProof& proof_;
    std::vector<CellKey> candidates_;
};

// What the build did about the guard.
enum class GuardOutcome : std::uint8_t {
    off,              // not asked for
    on,               // uniform cells were accepted only when proven
    infinite_values,  // the first lattice held infinite values: judged by signs
    too_steep,        // a first-lattice edge changed faster than twice L allows: judged by signs
    bounds,           // uniform cells were accepted only when the field's bounds proved them
};

// The first lattice (every corner of level min_depth, all cached) judged as the
// guard needs: `steepest` receives the largest |f(a) - f(b)| / |a - b| over
// its edges. Off unless `proof` is active; with bounds, the lattice's values
// do not matter.
GuardOutcome judge_first_lattice(const Octree& tree, const CornerCache& cache,
                                 const EmptinessProof& proof, double& steepest);

}  // namespace quarvel
