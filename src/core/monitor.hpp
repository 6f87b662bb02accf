// Progress, cancellation and signal checks of one long call, kept apart from
// the field: the stages report to a Monitor and ask it, now and then, whether
// to go on. The host (the Python binding) decides what a poll does; the core
// decides only when to poll.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>

namespace quarvel {

// The named stages of a meshing call, as progress reports name them.
enum class Stage : std::uint8_t { sampling, refining, crossings, vertices, faces };

// Items of a serial loop between two checks: well under a millisecond of
// items that take tens of nanoseconds, tens of milliseconds of those that
// take microseconds (a hash table's inserts, a tree's lookups).
inline constexpr std::size_t kCheckStride = std::size_t{1} << 14;

// Thrown by Monitor::check() on a thread other than the monitor's once the
// call is abandoned, to end that thread's share of a parallel loop early.
// Parallel loops drop it and rethrow what abandoned the call.
class Cancelled final : public std::exception {
public:
    const char* what() const noexcept override { return "the call was abandoned"; }
};

class Monitor {
public:
    using Clock = std::chrono::steady_clock;

    // Serves the thread that makes it. `interval`: the least time between two
    // polls made by check(); zero makes check() poll never, leaving only the
    // polls between phases.
    explicit Monitor(Clock::duration interval = Clock::duration::zero());
    virtual ~Monitor() = default;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // A monitor that never polls, reports nowhere and is never cancelled, for
    // callers that need none; shared by every thread.
    static Monitor& none();

    // Between the phases of long work, on the monitor's thread: throws to
    // abandon the work (for a Python call: a pending signal such as Ctrl-C).
    void poll();
    // Progress within `stage`: `done` of `total` units (total 0: not known
    // ahead). On the monitor's thread, at least at a stage's start and end;
    // may throw, as poll().
    void report(Stage stage, std::uint64_t done, std::uint64_t total);
    // Within long work, every chunk of it, on any thread: on the monitor's
    // thread, poll() once `interval` has passed since the last poll (a clock
    // read otherwise); on another thread, throws Cancelled once the call is
    // abandoned. Never changes what the work computes.
    void check();
    // The same at every kCheckStride-th item `i` of a serial loop.
    void check(std::size_t i) {
        if (i % kCheckStride == 0) check();
    }

    // Whether check() polls at all, and how often.
    bool checks() const noexcept { return interval_ > Clock::duration::zero(); }
    Clock::duration interval() const noexcept { return interval_; }
    // Whether a poll or report threw: the call is being abandoned.
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }
    bool on_own_thread() const noexcept { return std::this_thread::get_id() == owner_; }

    // The monitor of the call this thread works for, or null: set by Active on
    // the calling thread, and by the pool on a worker for the slices it runs.
    // Parallel loops poll it on the calling thread, between its slices and
    // while it waits for the workers; helpers that take no monitor check it.
    static Monitor* active() noexcept;

    // Makes `monitor` this thread's active monitor for its scope.
    class Active {
    public:
        explicit Active(Monitor* monitor) noexcept;
        ~Active();
        Active(const Active&) = delete;
        Active& operator=(const Active&) = delete;

    private:
        Monitor* previous_;
    };

protected:
    // What a poll does; by default nothing.
    virtual void on_poll() {}
    // What a report does; by default nothing.
    virtual void on_report(Stage /*stage*/, std::uint64_t /*done*/, std::uint64_t /*total*/) {}

private:
    // Runs `step`, marking the call abandoned when it throws.
    template <class Step>
    void abandoning(Step&& step);

    Clock::duration interval_;
    Clock::time_point last_poll_;
    std::thread::id owner_;
    std::atomic<bool> cancelled_{false};
};

// check() on the thread's active monitor, if any: a poll point for helpers
// that serve several stages and are not handed one.
inline void check_active() {
    if (Monitor* monitor = Monitor::active()) monitor->check();
}
// The same at every kCheckStride-th item `i` of a serial loop.
inline void check_active(std::size_t i) {
    if (i % kCheckStride == 0) check_active();
}

}  // namespace quarvel
