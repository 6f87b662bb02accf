#include "core/monitor.hpp"

namespace quarvel {

namespace {

thread_local Monitor* t_active = nullptr;

}  // namespace

Monitor::Monitor(Clock::duration interval)
    : interval_(interval), last_poll_(Clock::now()), owner_(std::this_thread::get_id()) {}

Monitor& Monitor::none() {
    static Monitor quiet;
    return quiet;
}

template <class Step>
void Monitor::abandoning(Step&& step) {
    try {
        step();
    } catch (...) {
        cancelled_.store(true, std::memory_order_relaxed);
        throw;
    }
}

void Monitor::poll() {
    // Only a monitor that checks reads the time back; none() is shared.
    if (checks()) last_poll_ = Clock::now();
    abandoning([&] { on_poll(); });
}

void Monitor::report(Stage stage, std::uint64_t done, std::uint64_t total) {
    abandoning([&] { on_report(stage, done, total); });
}

void Monitor::check() {
    if (!on_own_thread()) {
        if (cancelled()) throw Cancelled();
        return;
    }
    if (!checks()) return;
    const Clock::time_point now = Clock::now();
    if (now - last_poll_ < interval_) return;
    last_poll_ = now;
    abandoning([&] { on_poll(); });
}

Monitor* Monitor::active() noexcept { return t_active; }

Monitor::Active::Active(Monitor* monitor) noexcept : previous_(t_active) { t_active = monitor; }

Monitor::Active::~Active() { t_active = previous_; }

}  // namespace quarvel
