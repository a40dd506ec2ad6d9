// A host mutex that its owner may take again, and that can be set down
// completely (whatever the depth) and picked up again: the dispatcher lock
// and the harness lock are of this kind. Waits on a condition variable
// leave it while they sleep.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace harness {

class RecursiveLock {
public:
    void lock() {
        if (HeldByCaller()) {
            ++depth_;
            return;
        }
        mutex_.lock();
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth_ = 1;
    }

    void unlock() {
        if (--depth_ > 0) return;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }

    // Only the owner itself can see its own id here, so relaxed loads do.
    bool HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

    // Sets the lock down whatever the depth; returns the depth to give back
    // to Reacquire (0 if the caller did not hold it).
    int ReleaseAll() {
        if (!HeldByCaller()) return 0;
        const int depth = depth_;
        depth_ = 1;
        unlock();
        return depth;
    }

    void Reacquire(int depth) {
        if (depth == 0) return;
        lock();
        depth_ = depth;
    }

    // Sleeps on `cv` until notified or `until`, the lock set down meanwhile
    // whatever the caller's depth; holds it again, at that depth, on return.
    template <typename Clock, typename Duration>
    void WaitOn(std::condition_variable& cv, const std::chrono::time_point<Clock, Duration>& until) {
        const int depth = depth_;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
        cv.wait_until(held, until);
        held.release();
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth_ = depth;
    }

    void WaitOn(std::condition_variable& cv) {
        const int depth = depth_;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
        cv.wait(held);
        held.release();
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth_ = depth;
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched by the owner only
};

// Holds a RecursiveLock for a scope.
class LockScope {
public:
    explicit LockScope(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
    ~LockScope() { lock_.unlock(); }
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

private:
    RecursiveLock& lock_;
};

// Sets a RecursiveLock down for a scope if the caller holds it: around code
// that must not run under it (a driver's routine, a blocking wait).
class UnlockScope {
public:
    explicit UnlockScope(RecursiveLock& lock) : lock_(lock), depth_(lock.ReleaseAll()) {}
    ~UnlockScope() { lock_.Reacquire(depth_); }
    UnlockScope(const UnlockScope&) = delete;
    UnlockScope& operator=(const UnlockScope&) = delete;

private:
    RecursiveLock& lock_;
    int depth_;
};

}  // namespace harness
