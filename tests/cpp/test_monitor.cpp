// A monitor that abandons parallel work: the poll's exception surfaces
// unchanged, once nothing runs any more; polls that do not throw change nothing.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/monitor.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"

using namespace quarvel;

namespace {

// Polls at every check; the poll numbered `throw_at` (from 1) throws.
class CountingMonitor final : public Monitor {
public:
    explicit CountingMonitor(int throw_at) : Monitor(std::chrono::nanoseconds(1)), throw_at_(throw_at) {}
    std::atomic<int> polls{0};

private:
    void on_poll() override {
        if (++polls == throw_at_) throw std::runtime_error("stop at poll " + std::to_string(throw_at_));
    }
    int throw_at_;
};

}  // namespace

TEST(monitor_abandons_a_loop_once_its_slices_have_stopped) {
    constexpr std::size_t n = 1u << 18;
    std::vector<std::atomic<int>> done(n);
    const auto count = [&] {
        std::size_t total = 0;
        for (const auto& d : done) total += static_cast<std::size_t>(d.load());
        return total;
    };
    std::string caught;
    {
        CountingMonitor monitor(3);
        const Monitor::Active active(&monitor);
        try {
            // Slow slices: the third poll, early in the caller's second slice,
            // comes long before the workers could finish the rest.
            parallel_for(n, [&](std::size_t begin, std::size_t end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                for (std::size_t i = begin; i < end; ++i) {
                    check_active(i);
                    done[i].fetch_add(1);
                }
            });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        CHECK(monitor.cancelled());
    }
    CHECK(caught == "stop at poll 3");
    const std::size_t ran = count();
    CHECK(ran < n);  // the slices after the abandonment never ran
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CHECK(count() == ran);  // and nothing runs on after the call
    // The pool serves the next call in full.
    const std::vector<std::size_t> squares = parallel_map<std::size_t>(1000, [](std::size_t i) { return i * i; });
    for (std::size_t i = 0; i < squares.size(); ++i) REQUIRE(squares[i] == i * i);
}

TEST(monitor_is_polled_while_the_caller_waits_for_a_worker) {
    if (pool_thread_count() < 2) return;  // no worker to wait for
    CountingMonitor monitor(2);
    const Monitor::Active active(&monitor);
    const auto start = std::chrono::steady_clock::now();
    std::string caught;
    try {
        // The caller's slices return at once; a worker's run until the call
        // is abandoned (or ten seconds pass), checking only for that.
        parallel_for(
            64,
            [&](std::size_t, std::size_t) {
                if (monitor.on_own_thread()) return;
                while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) monitor.check();
            },
            0);
    } catch (const std::runtime_error& e) {
        caught = e.what();
    }
    CHECK(caught == "stop at poll 2");
    CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
}

TEST(monitor_polls_change_no_result) {
    CountingMonitor monitor(-1);
    const Monitor::Active active(&monitor);
    for (std::size_t n : {0u, 1u, 255u, 256u, 5000u, 300000u}) {
        const std::vector<std::size_t> map = parallel_map<std::size_t>(n, [](std::size_t i) { return 3 * i + 1; });
        REQUIRE(map.size() == n);
        for (std::size_t i = 0; i < n; ++i) REQUIRE(map[i] == 3 * i + 1);
        const std::vector<std::size_t> gathered = parallel_gather<std::size_t>(n, [](std::size_t i, auto& out) {
            for (std::size_t k = 0; k < i % 3; ++k) out.push_back(i);
        });
        std::size_t at = 0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < i % 3; ++k) REQUIRE(at < gathered.size() && gathered[at++] == i);
        REQUIRE(at == gathered.size());
    }
    CHECK(monitor.polls.load() > 0);
    CHECK(!monitor.cancelled());
}
