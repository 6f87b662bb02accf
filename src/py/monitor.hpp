// The Monitor of a call from Python: a poll runs pending signal handlers, so
// that Ctrl-C (their KeyboardInterrupt, or whatever a handler raises) ends the
// call; a report calls the caller's progress callable. Both take the
// interpreter lock for their moment when the call runs without it.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "core/monitor.hpp"
#include "py/lock.hpp"

namespace quarvel::py {

struct MonitorOptions {
    ReleasedLock* released = nullptr;  // the call's released lock, when it runs without it
    PyObject* progress = nullptr;      // borrowed: called (stage, done, total), or null
    // How often the stages poll within their work (see Monitor::check); zero:
    // only between phases, as the engine does.
    std::chrono::milliseconds interval{0};
};

class PyMonitor final : public Monitor {
public:
    // Made on the calling thread.
    explicit PyMonitor(MonitorOptions options);

    // Within the pipeline's stages: often enough that Ctrl-C takes effect
    // within about a tenth of a second, rarely enough to cost nothing.
    static constexpr std::chrono::milliseconds kPipelineInterval{50};

private:
    void on_poll() override;
    // Calls the progress callable with the stage's name, at a stage's start
    // and end and at most every 0.1 s between, after running pending signal
    // handlers.
    void on_report(Stage stage, std::uint64_t done, std::uint64_t total) override;

    MonitorOptions options_;
    int last_stage_ = -1;
    std::chrono::steady_clock::time_point last_report_{};
};

// Whether the calling thread (the lock held) is the one that runs signal handlers.
bool handles_signals();

// The name a progress report gives `stage`: "sampling", "refining", ...
const char* stage_name(Stage stage);

}  // namespace quarvel::py
