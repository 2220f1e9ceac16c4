// Cooperative cancellation of a long fit. Whoever starts the fit supplies a
// poll that says whether to stop (for example because the user pressed
// Ctrl-C); the fit asks through requested() as often as it likes, and the
// poll itself runs at most once per interval, on the thread that created the
// token. Other threads taking part in the same fit only see the answer of
// the last poll, so the poll never runs concurrently with itself.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace zetrion {

class Cancellation {
public:
    using Poll = bool (*)(void* context);
    using Clock = std::chrono::steady_clock;

    Cancellation(Poll poll, void* context, Clock::duration interval = std::chrono::milliseconds(10))
        : poll_(poll), context_(context), owner_(std::this_thread::get_id()), interval_(interval),
          next_(Clock::now() + interval) {}
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    bool requested() const {
        if (stopped_.load(std::memory_order_relaxed)) return true;
        if (std::this_thread::get_id() != owner_) return false;
        const Clock::time_point now = Clock::now();
        if (now < next_) return false;
        next_ = now + interval_;
        if (poll_(context_)) stopped_.store(true, std::memory_order_relaxed);
        return stopped_.load(std::memory_order_relaxed);
    }

private:
    Poll poll_;
    void* context_;
    std::thread::id owner_;
    Clock::duration interval_;
    mutable Clock::time_point next_;  // owner thread only
    mutable std::atomic<bool> stopped_{false};
};

// True when `c` is set and asks to stop.
inline bool cancel_requested(const Cancellation* c) { return c && c->requested(); }

}  // namespace zetrion
