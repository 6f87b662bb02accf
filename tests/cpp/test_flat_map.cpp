// The hash map's erase against std::set, with keys crowded into long probe
// runs that wrap around the table.
#include <random>
#include <set>

#include "check.hpp"
#include "core/flat_map.hpp"

namespace {

struct Crowded {
    std::uint32_t id = 0;
    bool operator==(const Crowded&) const = default;
    std::uint64_t hash_input() const noexcept { return id % 3; }  // three homes for every key
};

}  // namespace

TEST(flat_map_erase_keeps_every_probe_run_whole) {
    std::mt19937 rng(7);
    quarvel::FlatMap<Crowded, std::uint32_t> map;
    std::set<std::uint32_t> model;
    bool agree = true;
    for (int step = 0; step < 4000; ++step) {
        const std::uint32_t id = rng() % 40;
        if (rng() % 3 == 0) {
            CHECK_EQ(map.erase({id}), model.erase(id) == 1);
        } else {
            map.try_emplace({id}, id);
            model.insert(id);
        }
        for (std::uint32_t k = 0; k < 40; ++k) {
            const std::uint32_t* value = map.find({k});
            agree = agree && (value != nullptr) == model.count(k) && (!value || *value == k);
        }
    }
    CHECK(agree);
    CHECK_EQ(map.size(), model.size());
}
