// The worker pool under stress: many short loops in a row, so that workers
// wake up while the caller is claiming the last slices itself.
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"

using quarvel::parallel_for;
using quarvel::parallel_map;

TEST(parallel_many_short_loops_cover_every_index_once) {
    // A worker woken for a loop whose slices are all taken by then must go
    // back to sleep, not pick up a job that is no longer there.
    std::vector<std::atomic<int>> hits(8);
    long expected = 0;
    for (long round = 0; round < 200000; ++round) {
        const std::size_t n = 1 + static_cast<std::size_t>(round % 8);
        parallel_for(
            n,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
            },
            0);
        expected += 1;
        if (round % 8 == 7) {
            bool ok = true;
            for (std::size_t i = 0; i < 8; ++i) ok = ok && hits[i].load() == expected - static_cast<int>(i);
            REQUIRE(ok);
            for (auto& h : hits) h.store(0);
            expected = 0;
        }
    }
}

TEST(parallel_short_loops_rethrow_the_lowest_error) {
    for (int round = 0; round < 20000; ++round) {
        const std::size_t n = 2 + static_cast<std::size_t>(round % 6);
        std::string caught;
        try {
            parallel_for(
                n,
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i)
                        if (i >= 1) throw std::runtime_error(std::to_string(i));
                },
                0);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        // Every index from 1 on fails; the error of the lowest index is the one
        // that surfaces, as in a serial loop.
        REQUIRE(caught == "1");
    }
}

TEST(parallel_map_results_in_index_order) {
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = static_cast<std::size_t>(round % 300);
        const std::vector<std::size_t> out =
            parallel_map<std::size_t>(n, [](std::size_t i) { return i * i; }, 0);
        REQUIRE(out.size() == n);
        for (std::size_t i = 0; i < n; ++i) REQUIRE(out[i] == i * i);
    }
}

TEST(parallel_filter_keeps_items_in_order) {
    for (std::size_t n : {0u, 1u, 255u, 256u, 100000u}) {
        std::vector<std::size_t> items(n);
        for (std::size_t i = 0; i < n; ++i) items[i] = n - i;
        const std::vector<std::size_t> kept = quarvel::parallel_filter(
            std::span<const std::size_t>(items), [&](std::size_t i) { return items[i] % 3 == 0; });
        std::size_t k = 0;
        for (std::size_t item : items)
            if (item % 3 == 0) REQUIRE(k < kept.size() && kept[k++] == item);
        REQUIRE(k == kept.size());
    }
}
