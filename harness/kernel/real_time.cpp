// The real-time scheduler: the machine on host threads and the wall clock.
// Emulated processors drain the DPC queue in parallel, a clock thread fires
// timers and device events when their time comes, a worker thread runs the
// system's work items, and waiting threads sleep until something they may
// wait for changes. See "Threads" in dispatcher.h.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher {

using namespace internal;

namespace {

using SteadyClock = std::chrono::steady_clock;
using Ticks100ns = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;

// A waiting thread looks at its condition at least this often even when
// nobody notifies it: a condition may read state that changes without a
// signal the dispatcher sees (a harness choice; it costs latency, never
// correctness).
constexpr int64_t kWaitSlice = 10 * kMillisecond;
// The clock thread looks at its queue at least this often (a clock tick
// that changed length moves armed timers without notifying it).
constexpr int64_t kClockSlice = 50 * kMillisecond;

thread_local int t_processor = -1;

void Pause() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

class RealTimeScheduler final : public Scheduler {
public:
    void Start(int processors, int64_t base) {
        base_ = base;
        origin_ = SteadyClock::now();
        stop_ = false;
        busy_ = 0;
        SetActiveScheduler(this);
        for (int i = 0; i < processors; ++i) threads_.emplace_back([this, i] { ProcessorMain(i); });
        threads_.emplace_back([this] { ClockMain(); });
        threads_.emplace_back([this] { WorkerMain(); });
    }

    // The caller holds neither the harness lock nor the dispatcher lock:
    // the machine's threads may need them to finish what they run.
    void Stop() {
        {
            DispatcherScope locked;
            stop_ = true;
            processorsCv_.notify_all();
            clockCv_.notify_all();
            workerCv_.notify_all();
            waitersCv_.notify_all();
        }
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
        SetVirtualNow(Now());
        SetActiveScheduler(DeterministicSchedulerInstance());
    }

    size_t Busy() const { return busy_; }

    int64_t Now() const override {
        return base_ + std::chrono::duration_cast<Ticks100ns>(SteadyClock::now() - origin_).count();
    }

    // The DPC was queued under the dispatcher lock, so a processor either
    // sleeps on the condition variable now or has yet to look at the queue.
    void OnDpcQueued() override { processorsCv_.notify_one(); }
    void OnIrqlBelowDispatch() override {}
    void OnSignal() override { waitersCv_.notify_all(); }
    void OnTimeQueueChanged() override { clockCv_.notify_one(); }
    void OnPassiveWorkQueued() override { workerCv_.notify_one(); }

    bool WaitUntil(const std::function<bool()>& done, std::optional<int64_t> deadline, const char* waiter,
                   const std::string& what) override {
        // A blocked thread holds no harness state: the threads that will end
        // the wait need it.
        UnlockScope harnessState(HarnessLock());
        const int64_t start = Now();
        const int64_t limit = std::min(HangHorizon(), kRealTimeHangLimit);
        RecursiveLock& lock = DispatcherLock();
        lock.lock();
        for (;;) {
            if (done()) {
                lock.unlock();
                return true;
            }
            const int64_t now = Now();
            if (deadline && now >= *deadline) {
                lock.unlock();
                return false;
            }
            if (!deadline && now - start > limit) {
                lock.unlock();
                BugCheck("WAIT_HANG", waiter,
                         (what.empty() ? std::string("the wait of ") + waiter : what) + " still not satisfied after " +
                             FormatTime(now - start) + " of wall-clock time");
                return false;
            }
            int64_t wake = now + kWaitSlice;
            if (deadline) wake = std::min(wake, *deadline);
            lock.WaitOn(waitersCv_, WallTime(wake));
        }
    }

    void OnSpinLockBusy(PKSPIN_LOCK lock, ULONG_PTR owner, const char* routine) override {
        (void)routine;
        // The owner may need the harness lock before it can let go.
        UnlockScope harnessState(HarnessLock());
        // Another processor holds it: spin as a processor does, then let the
        // host run the owner (two emulated processors may share one core).
        for (int i = 0; i < 2000; ++i) {
            if (__atomic_load_n(lock, __ATOMIC_RELAXED) != owner) return;
            Pause();
        }
        std::this_thread::yield();
    }

private:
    SteadyClock::time_point WallTime(int64_t t) const {
        return origin_ + std::chrono::duration_cast<SteadyClock::duration>(Ticks100ns(t - base_));
    }

    // Each loop holds the dispatcher lock while it looks for work and
    // sleeps, and sets it down while the work runs.
    void ProcessorMain(int index) {
        t_processor = index;
        RecursiveLock& lock = DispatcherLock();
        lock.lock();
        while (!stop_) {
            std::optional<DequeuedDpc> entry = TakeDpc();
            if (!entry) {
                lock.WaitOn(processorsCv_);
                continue;
            }
            ++busy_;
            lock.unlock();
            Thread().irql = DISPATCH_LEVEL;
            RunDpc(*entry);
            Thread().irql = PASSIVE_LEVEL;
            lock.lock();
            --busy_;
            OnSignal();
        }
        lock.unlock();
    }

    void ClockMain() {
        RecursiveLock& lock = DispatcherLock();
        lock.lock();
        while (!stop_) {
            const std::optional<QueueKey> next = EarliestActivity();
            const int64_t now = Now();
            if (!next || next->due > now) {
                int64_t wake = now + kClockSlice;
                if (next) wake = std::min(wake, next->due);
                lock.WaitOn(clockCv_, WallTime(wake));
                continue;
            }
            ++busy_;
            lock.unlock();
            const KIRQL old = RaiseToDispatch();
            FireEarliestActivity(now);
            LowerIrql(old, "the clock interrupt");
            lock.lock();
            --busy_;
            // A timer's DPC was queued under the lock without a word to
            // the processors.
            processorsCv_.notify_one();
            OnSignal();
        }
        lock.unlock();
    }

    void WorkerMain() {
        RecursiveLock& lock = DispatcherLock();
        lock.lock();
        while (!stop_) {
            if (PassiveWorkQueueEmpty()) {
                lock.WaitOn(workerCv_);
                continue;
            }
            ++busy_;
            lock.unlock();
            RunOnePassiveWork();
            lock.lock();
            --busy_;
            OnSignal();
        }
        lock.unlock();
    }

    int64_t base_ = 0;
    SteadyClock::time_point origin_;
    // Guarded by the dispatcher lock.
    bool stop_ = false;
    size_t busy_ = 0;
    std::condition_variable processorsCv_, clockCv_, workerCv_, waitersCv_;
    std::vector<std::thread> threads_;
};

RealTimeScheduler g_realTime;

// Serialises the switches between real and virtual time: whether the
// scheduler runs and starting or stopping it are one step, or two threads
// switching at once (a test's tear-down and the library's exit handler)
// would both stop it and join its threads twice.
std::mutex& SwitchLock() {
    static std::mutex* lock = new std::mutex;  // used by exit handlers
    return *lock;
}

void StopLocked() {
    if (IsRealTime()) g_realTime.Stop();
}

}  // namespace

// Both set the harness lock down first, before the switch lock (which is
// taken with neither held): stopping waits for the machine's threads, which
// may need the harness lock to finish a device event or a cancel routine.
void UseRealTime(int processors) {
    UnlockScope harnessState(HarnessLock());
    std::lock_guard<std::mutex> switching(SwitchLock());
    StopLocked();
    g_realTime.Start(std::max(processors, 1), VirtualNow());
}

void UseVirtualTime() {
    UnlockScope harnessState(HarnessLock());
    std::lock_guard<std::mutex> switching(SwitchLock());
    StopLocked();
}

bool IsRealTime() { return &ActiveScheduler() == &g_realTime; }

int CurrentProcessor() { return t_processor; }

void NotifyWaiters() {
    DispatcherScope locked;
    ActiveScheduler().OnSignal();
}

namespace internal {

bool RealTimeActive() { return IsRealTime(); }

size_t RealTimeBusyCount() {
    DispatcherScope locked;
    return IsRealTime() ? g_realTime.Busy() : 0;
}

void RealTimeStall(int64_t duration) {
    const int64_t until = SaturatingAdd(Now(), std::max<int64_t>(duration, 0));
    while (Now() < until) Pause();
}

RecursiveLock& DispatcherLock() {
    static RecursiveLock lock;
    return lock;
}

}  // namespace internal

namespace {
// Before anything else is reset: the machine's threads stop first.
harness::ResetRegistration g_reset(harness::kResetRealTime, &UseVirtualTime);
}  // namespace

}  // namespace harness::dispatcher

namespace harness {

RecursiveLock& HarnessLock() {
    static RecursiveLock lock;
    return lock;
}

}  // namespace harness
