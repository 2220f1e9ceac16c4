// The process-wide worker pool: one worker per hardware thread, running
// index-range maps. A map splits [0, n) into contiguous chunks that idle
// workers and the calling thread take in turn; each index is written by
// exactly one chunk, so results keep index order. The caller returns when
// its own map is done. Workers start on first use in each process (a forked
// child starts its own); the pool is never torn down.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace zetrion {

class WorkerPool {
public:
    using RangeFn = std::function<void(std::size_t begin, std::size_t end)>;
    using WaitFn = std::function<void()>;

    static WorkerPool& instance();

    std::size_t size() const { return workers_; }

    // Runs fn over [0, n) in chunks of at least `grain` indices. fn must not
    // throw. Safe to call from several threads at once. When `while_waiting`
    // is given, the caller runs it every few milliseconds while it waits for
    // chunks other threads are still running (it must not throw either).
    void parallel_for(std::size_t n, std::size_t grain, const RangeFn& fn, const WaitFn* while_waiting = nullptr);

private:
    WorkerPool();
    struct Impl;
    std::atomic<Impl*> impl_;
    std::size_t workers_;
};

}  // namespace zetrion
