#include "circuit/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "util/platform.hpp"

namespace zetrion {
namespace {

struct Job {
    const WorkerPool::RangeFn* fn;
    std::size_t n;
    std::size_t chunk;
    std::atomic<std::size_t> next{0};  // first unclaimed index
    std::atomic<std::size_t> done{0};  // indices finished
    std::mutex m;
    std::condition_variable cv;

    // Claims and runs chunks until none is left; whoever finishes the last
    // one wakes the caller.
    void work() {
        for (;;) {
            const std::size_t b = next.fetch_add(chunk, std::memory_order_relaxed);
            if (b >= n) return;
            const std::size_t e = std::min(n, b + chunk);
            (*fn)(b, e);
            if (done.fetch_add(e - b, std::memory_order_acq_rel) + (e - b) == n) {
                std::lock_guard<std::mutex> lk(m);
                cv.notify_all();
            }
        }
    }
    bool exhausted() const { return next.load(std::memory_order_relaxed) >= n; }
};

}  // namespace

struct WorkerPool::Impl {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Job>> queue;
    bool started = false;  // under m

    void run_worker() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lk(m);
                cv.wait(lk, [&] { return !queue.empty(); });
                job = queue.front();
                if (job->exhausted()) {
                    queue.pop_front();
                    continue;
                }
            }
            job->work();
            std::lock_guard<std::mutex> lk(m);
            if (!queue.empty() && queue.front() == job) queue.pop_front();
        }
    }
};

namespace {

WorkerPool* g_pool = nullptr;

}  // namespace

WorkerPool& WorkerPool::instance() {
    static WorkerPool* pool = [] {
        auto* p = new WorkerPool();  // lives until the process ends
        g_pool = p;
        // A forked child has only the thread that forked: none of the
        // parent's workers, and perhaps a pool lock that one of them held at
        // that moment. The child starts over with a fresh pool of its own
        // (the old state is left alone: it cannot be torn down safely).
        platform::at_fork(nullptr, nullptr, [] {
            if (g_pool) g_pool->impl_.store(new Impl, std::memory_order_release);
        });
        return p;
    }();
    return *pool;
}

WorkerPool::WorkerPool() : impl_(new Impl), workers_(std::max(1u, std::thread::hardware_concurrency())) {}


void WorkerPool::parallel_for(std::size_t n, std::size_t grain, const RangeFn& fn, const WaitFn* while_waiting) {
    if (n == 0) return;
    grain = std::max<std::size_t>(grain, 1);
    // Four chunks per worker lets idle workers even out uneven progress.
    const std::size_t target = std::max<std::size_t>(1, n / (4 * workers_));
    auto job = std::make_shared<Job>();
    job->fn = &fn;
    job->n = n;
    job->chunk = std::max(grain, target);
    Impl* impl = impl_.load(std::memory_order_acquire);
    {
        std::lock_guard<std::mutex> lk(impl->m);
        if (!impl->started) {  // first use in this process
            for (std::size_t i = 0; i < workers_; ++i) std::thread([impl] { impl->run_worker(); }).detach();
            impl->started = true;
        }
        impl->queue.push_back(job);
    }
    impl->cv.notify_all();
    job->work();  // the caller takes chunks too
    {
        std::unique_lock<std::mutex> lk(job->m);
        const auto finished = [&] { return job->done.load(std::memory_order_acquire) == n; };
        if (while_waiting) {
            while (!job->cv.wait_for(lk, std::chrono::milliseconds(5), finished)) {
                lk.unlock();
                (*while_waiting)();
                lk.lock();
            }
        } else {
            job->cv.wait(lk, finished);
        }
    }
    // A job no worker got to is taken off the queue here, so finished work
    // never piles up when the workers are busy elsewhere.
    std::lock_guard<std::mutex> lk(impl->m);
    if (const auto it = std::find(impl->queue.begin(), impl->queue.end(), job); it != impl->queue.end())
        impl->queue.erase(it);
}

}  // namespace zetrion
