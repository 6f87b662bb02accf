// The one way a tree grows. A pass lists the cells to subdivide, each down to
// a target level; the missing lattice corners of every cell to be made are
// sampled in one batch, then the cells are subdivided in list order. Level
// refinement, band refinement and both balancing phases only make the lists.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "eval/sampler.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// A non-Internal cell of the tree, to be subdivided uniformly down to `target`
// (capped at max_depth); nothing happens when target <= cell.level.
struct RefineRequest {
    CellKey cell;
    std::uint8_t target = 0;
};

// The pass that subdivides; the fault a missing corner raises names it.
enum class Pass { build, balance };

// Corners queued for one batch, without duplicates, in first-seen order. A key
// claims its cache slot when queued, so the one probe also skips a key already
// cached or queued. Sampling fills the slots; if it fails, the claims are
// withdrawn and the cache is as it was.
class CornerBatch {
public:
    void reserve(std::size_t count) { keys_.reserve(count); }
    // Queues `key` of `tree` (every key of a batch belongs to one tree).
    void queue(const Octree& tree, CornerCache& cache, const CornerKey& key);
    const std::vector<CornerKey>& keys() const noexcept { return keys_; }

    // Samples the queued keys' positions (see FieldSampler::sample) into their
    // slots, entry by entry, value before gradient, reading the field's
    // arrays in place; the batch is then empty.
    void sample(FieldSampler& sampler, CornerCache& cache,
                ShortValues short_values = ShortValues::fault_on_read);
    // Withdraws the queued keys' claims: the cache is as it was before them,
    // and the batch is empty.
    void withdraw(CornerCache& cache);

private:
    const Octree* tree_ = nullptr;
    std::uint32_t first_slot_ = 0;
    std::vector<CornerKey> keys_;
};

// Queues the corners the subdivisions of `request` will need, child by child
// and corner by corner, each child's own descendants (for a deeper target)
// before the next child. The cell's own corners must be cached already.
void queue_corners(const Octree& tree, CornerCache& cache, const RefineRequest& request,
                   CornerBatch& batch);

// Subdivides the cell of `request` and its new descendants from cached
// samples, with the tree's iso value; a cell already Internal is not made
// again, though its non-Internal children are refined. A missing corner is
// the fault "corner not in cache during subdivision" (or "... during balance
// subdivision" for the balance pass).
void subdivide(Octree& tree, const CornerCache& cache, const RefineRequest& request, Pass pass);

// The whole step: one batch for the corners of every request, then the
// subdivisions in list order.
void refine(FieldSampler& sampler, Octree& tree, CornerCache& cache,
            std::span<const RefineRequest> requests, Pass pass);

// Each cell subdivided once.
std::vector<RefineRequest> one_level(std::span<const CellKey> cells);

}  // namespace quarvel
