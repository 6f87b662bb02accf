#include "core/parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "core/monitor.hpp"

namespace quarvel {

namespace {

// One parallel loop in flight: its slices are claimed by index.
struct Job {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t n = 0;
    std::size_t slices = 0;
    Monitor* monitor = nullptr;  // of the call the loop works for, if any
    std::atomic<std::size_t> next{0};
    std::size_t finished = 0;  // guarded by done_mutex
    std::size_t active = 0;    // workers inside run_some; guarded by the pool's mutex
    std::vector<std::exception_ptr> errors;
    std::exception_ptr abandoned;  // what abandoned the call, as the calling thread caught it
    std::mutex done_mutex;
    std::condition_variable done_cv;

    bool stopping() const { return monitor && monitor->cancelled(); }

    // Claims and runs slices until none is left; returns when it claimed
    // nothing. `caller`: the loop's calling thread, which polls the monitor
    // before each of its slices.
    bool run_some(bool caller) {
        bool ran = false;
        for (;;) {
            std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
            if (k >= slices) return ran;
            ran = true;
            // Once the call is abandoned, the slices left are claimed but not run.
            if (!stopping()) run_slice(k, caller);
            std::lock_guard lock(done_mutex);
            if (++finished == slices) done_cv.notify_all();
        }
    }

    // Waits until every slice has finished. The calling thread of a call
    // that polls goes on polling meanwhile, so that a worker's long slice
    // holds up no signal; once abandoned, the slices running end early if
    // they check, and those left are not run.
    void wait_finished() {
        std::unique_lock lock(done_mutex);
        const auto all_finished = [&] { return finished == slices; };
        if (!monitor || !monitor->checks() || !monitor->on_own_thread()) {
            done_cv.wait(lock, all_finished);
            return;
        }
        while (!done_cv.wait_for(lock, monitor->interval(), all_finished)) {
            if (abandoned) continue;
            lock.unlock();
            try {
                monitor->check();
            } catch (...) {
                abandoned = std::current_exception();
            }
            lock.lock();
        }
    }

    void run_slice(std::size_t k, bool caller) {
        const std::size_t begin = n * k / slices, end = n * (k + 1) / slices;
        try {
            if (caller && monitor) monitor->check();
            (*body)(begin, end);
        } catch (...) {
            // After the abandonment a worker's error no longer matters; the
            // caller's is what abandoned the call (or followed from it).
            if (!stopping())
                errors[k] = std::current_exception();
            else if (caller && !abandoned)
                abandoned = std::current_exception();
        }
    }
};

std::optional<std::size_t> parse_count(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    std::size_t value = 0;
    const char* end = text + std::strlen(text);
    auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

// More threads than a machine has processors only cost start-up time and
// memory (16000 threads take seconds and over 100 MB to start), and the mesh
// is the same for any count.
constexpr std::size_t kMaxThreads = 1024;

// Slices per thread: a few, so that uneven slices balance out. When the
// calling thread polls a monitor between its slices, more: at least a
// handful per thread, and no more than a few thousand items each, so that a
// poll is never further away than a small share of the loop, nor the items
// of a long loop further than milliseconds apart.
constexpr std::size_t kSlicesPerThread = 4;
constexpr std::size_t kPolledSlicesPerThread = 16;
constexpr std::size_t kPolledItemsPerSlice = 4096;

std::size_t slice_count(std::size_t n, std::size_t threads, bool polled) {
    if (!polled) return std::min(n, threads * kSlicesPerThread);
    return std::min(n, std::max(threads * kPolledSlicesPerThread, n / kPolledItemsPerSlice));
}

std::size_t configured_threads() {
    std::size_t count = 0;
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        if (auto parsed = parse_count(name)) {
            count = *parsed;  // 0 selects the default
            break;
        }
    }
    if (count == 0) count = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(count, 1, kMaxThreads);
}

// Workers sleep on `cv` until a job is queued; the calling thread of a loop works too.
// A pool is never destroyed: its detached workers refer to it for the life of
// the process.
class Pool {
public:
    // Starts up to `threads - 1` workers. When the system refuses one (thread
    // limits, memory), the pool runs with those already started: the results
    // are the same for any number of threads, only slower.
    explicit Pool(std::size_t threads) {
        for (std::size_t i = 1; i < threads; ++i) {
            try {
                std::thread([this] { work(); }).detach();
            } catch (const std::exception&) {
                break;
            }
            ++threads_;
        }
    }

    std::size_t threads() const { return threads_; }

    void run(Job& job) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
        }
        cv_.notify_all();
        job.run_some(true);
        job.wait_finished();
        // The job lives on the caller's stack: wait until no worker still holds it.
        std::unique_lock lock(mutex_);
        std::erase(queue_, &job);
        idle_cv_.wait(lock, [&] { return job.active == 0; });
    }

private:
    void work() {
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                // Keep the job the wait found: slices are claimed without the
                // lock, so a second look may find none left (and no job).
                cv_.wait(lock, [&] { return (job = claimable()) != nullptr; });
                ++job->active;
            }
            {
                // Loops the slices start run for the same call.
                const Monitor::Active scope(job->monitor);
                job->run_some(false);
            }
            std::lock_guard lock(mutex_);
            if (--job->active == 0) idle_cv_.notify_all();
        }
    }

    Job* claimable() {
        for (Job* job : queue_)
            if (job->next.load(std::memory_order_relaxed) < job->slices) return job;
        return nullptr;
    }

    std::size_t threads_ = 1;  // the workers started, and the caller
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable idle_cv_;
    std::deque<Job*> queue_;
};

// The pool is created on first use. A child created by fork has none of the
// parent's threads, so it forgets the inherited pool (deliberately leaked: its
// mutexes may be held by threads that no longer exist) and starts a new one.
Pool* g_pool = nullptr;
std::mutex* g_pool_mutex = new std::mutex;

void before_fork() { g_pool_mutex->lock(); }
void after_fork_parent() { g_pool_mutex->unlock(); }
void after_fork_child() {
    g_pool = nullptr;
    g_pool_mutex = new (std::nothrow) std::mutex;
}

Pool& pool() {
    static const bool registered = [] {
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
    std::lock_guard lock(*g_pool_mutex);
    if (!g_pool) g_pool = new Pool(configured_threads());
    return *g_pool;
}

}  // namespace

std::size_t pool_thread_count() { return pool().threads(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body,
                  std::size_t min_parallel) {
    if (n == 0) return;
    Pool* p = n < min_parallel ? nullptr : &pool();
    Monitor* monitor = Monitor::active();
    const bool polled = p && monitor && monitor->checks() && monitor->on_own_thread();
    const std::size_t threads = p ? p->threads() : 1;
    if (threads <= 1 && !polled) {
        body(0, n);
        return;
    }
    Job job;
    job.body = &body;
    job.n = n;
    job.monitor = monitor;
    job.slices = slice_count(n, threads, polled);
    job.errors.resize(job.slices);
    if (threads <= 1)
        job.run_some(true);
    else
        p->run(job);
    if (job.abandoned) std::rethrow_exception(job.abandoned);
    for (const std::exception_ptr& error : job.errors)
        if (error) std::rethrow_exception(error);
}

}  // namespace quarvel
