// The corner cache against a plain map, across brick edges and far-apart
// keys; the first lattice that needs no index; dropped gradients.
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "check.hpp"
#include "octree/corner_cache.hpp"
#include "test_dc_support.hpp"

using namespace quarvel;
using dctest::fault_message;

namespace {

std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> as_tuple(const CornerKey& k) {
    return {k.x, k.y, k.z};
}

}  // namespace

TEST(corner_cache_agrees_with_a_map_across_bricks) {
    std::mt19937 rng(11);
    // Coordinates around brick edges (multiples of 4) and near the top of the lattice.
    const std::uint32_t coords[] = {0, 1, 3, 4, 5, 7, 8, 11, (1u << 31) - 1, 1u << 31};
    auto random_key = [&] {
        return CornerKey{coords[rng() % 10], coords[rng() % 10], coords[rng() % 10]};
    };
    CornerCache cache;
    std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, double> model;
    for (int step = 0; step < 3000; ++step) {
        const CornerKey key = random_key();
        const double value = step;
        if (rng() % 2) {
            cache.insert_or_assign(key, {value, Vec3{value, 0, 0}});
            model[as_tuple(key)] = value;
        } else if (const std::uint32_t slot = cache.claim(key); slot != CornerCache::NONE) {
            CHECK(!model.count(as_tuple(key)));
            cache.fill(slot, value, nullptr);
            model[as_tuple(key)] = value;
        } else {
            CHECK(model.count(as_tuple(key)));
        }
    }
    CHECK_EQ(cache.size(), model.size());
    CornerCache::Nearby nearby(cache);
    bool agree = true;
    for (std::uint32_t x : coords)
        for (std::uint32_t y : coords)
            for (std::uint32_t z : coords) {
                const CornerKey key{x, y, z};
                const auto found = model.find(as_tuple(key));
                const std::uint32_t i = cache.index_of(key);
                agree = agree && nearby.index_of(key) == i &&
                        (found == model.end() ? i == CornerCache::NONE : cache.value(i) == found->second);
            }
    CHECK(agree);
}

TEST(corner_cache_withdraws_the_newest_claims) {
    CornerCache cache;
    cache.insert_or_assign({1, 2, 3}, {5.0, std::nullopt});
    std::vector<CornerKey> claimed{{1, 2, 4}, {9, 2, 3}, {1, 2, 5}};
    for (const CornerKey& k : claimed) CHECK(cache.claim(k) != CornerCache::NONE);
    CHECK_EQ(cache.claim({9, 2, 3}), CornerCache::NONE);  // already claimed
    cache.withdraw(1, claimed);
    CHECK_EQ(cache.size(), 1u);
    for (const CornerKey& k : claimed) CHECK(!cache.contains(k));
    const std::optional<CornerSample> kept = cache.find({1, 2, 3});
    CHECK_EQ(kept->value, 5.0);
    CHECK_EQ(cache.claim({9, 2, 3}), 1u);  // claimable again, after the kept sample
}

TEST(corner_cache_first_lattice_takes_its_place_in_claim_order) {
    CornerCache cache;
    cache.start_with_lattice(3, 2);  // keys 0, 4, 8 per axis
    std::vector<CornerKey> lattice;
    for (std::uint32_t z = 0; z <= 8; z += 4)
        for (std::uint32_t y = 0; y <= 8; y += 4)
            for (std::uint32_t x = 0; x <= 8; x += 4) lattice.push_back({x, y, z});
    CHECK_EQ(fault_message([&] { cache.claim(lattice[1]); }),
             std::string("first lattice claimed out of order"));
    for (std::uint32_t i = 0; i < 13; ++i) CHECK_EQ(cache.claim(lattice[i]), i);
    CHECK(cache.contains(lattice[12]));
    CHECK(!cache.contains(lattice[13]));  // not claimed yet
    CHECK_EQ(cache.claim(lattice[5]), CornerCache::NONE);
    // Keys off the lattice (odd, or beyond its side) go through the bricks.
    CHECK_EQ(cache.claim({2, 0, 0}), 13u);
    CHECK_EQ(cache.claim({12, 0, 0}), 14u);
    CHECK_EQ(cache.index_of({2, 0, 0}), 13u);
    cache.withdraw(13, std::vector<CornerKey>{{2, 0, 0}, {12, 0, 0}});
    cache.withdraw(0, std::span(lattice).first(13));
    CHECK(cache.empty());
    CHECK(!cache.contains(lattice[0]));
    CHECK_EQ(cache.claim(lattice[0]), 0u);
    CornerCache used;
    used.insert_or_assign({0, 0, 0}, {1.0, std::nullopt});
    CHECK_EQ(fault_message([&] { used.start_with_lattice(3, 2); }),
             std::string("a first lattice must come first"));
}

TEST(corner_cache_forgets_gradients) {
    CornerCache cache;
    cache.insert_or_assign({0, 0, 0}, {1.0, Vec3{1, 2, 3}});
    cache.insert_or_assign({1, 0, 0}, {2.0, std::nullopt});
    REQUIRE(cache.gradient(0) != nullptr);
    CHECK((*cache.gradient(0) == Vec3{1, 2, 3}));
    CHECK(cache.gradient(1) == nullptr);
    cache.forget_gradients();
    cache.insert_or_assign({2, 0, 0}, {3.0, Vec3{1, 1, 1}});
    for (std::uint32_t i = 0; i < 3; ++i) {
        CHECK(cache.gradient(i) == nullptr);
        CHECK_EQ(cache.value(i), i + 1.0);
    }
}
