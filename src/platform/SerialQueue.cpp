#include "platform/SerialQueue.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>
#include <utility>
#include <vector>

#include "core/NativeLog.h"

namespace velk {

using Clock = std::chrono::steady_clock;

namespace {
// Keeps the double → integer conversion defined for any input: NaN and negatives mean
// "now", and anything past a decade is as good as never.
Clock::duration durationFromSeconds(double seconds) {
    constexpr double longest = 10.0 * 365 * 24 * 3600;
    if (!(seconds > 0))
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::min(seconds, longest)));
}

// A zero interval would make a timer due again the moment it finishes, keeping the
// worker busy forever.
constexpr Clock::duration shortestInterval = std::chrono::milliseconds(1);
} // namespace

struct SerialQueueTimer;

/// The part of a queue that a TaskHandle may reach. Handles hold it weakly, so a handle
/// that outlives its queue finds nothing to cancel.
struct SerialQueueCore {
    using Key = std::pair<Clock::time_point, std::uint64_t>;

    std::string name;
    std::mutex mutex;
    std::condition_variable wake;
    // Everything below is guarded by mutex.
    struct Ready {
        std::function<void()> task;              // an immediate task, or
        std::shared_ptr<SerialQueueTimer> timer; // a delayed one that has come due
    };
    std::deque<Ready> ready;
    std::map<Key, std::shared_ptr<SerialQueueTimer>> delayed;
    std::uint64_t nextSequence = 0;
    bool stopping = false;

    void promoteDue(Clock::time_point now);
};

struct SerialQueueTimer {
    std::weak_ptr<SerialQueueCore> queue;
    // Guarded by the queue's mutex. The worker takes `task` out while running it, so a
    // cancel during that run never destroys the closure under the worker's feet.
    std::function<void()> task;
    Clock::time_point due;
    Clock::duration interval = Clock::duration::zero(); // zero for a one-shot task
    std::optional<SerialQueueCore::Key> key;            // set while in `delayed`
    bool cancelled = false;
};

struct TaskHandle::State : SerialQueueTimer {};

void SerialQueueCore::promoteDue(Clock::time_point now) {
    while (!delayed.empty() && delayed.begin()->first.first <= now) {
        auto state = std::move(delayed.begin()->second);
        delayed.erase(delayed.begin());
        state->key.reset();
        ready.push_back({{}, std::move(state)});
    }
}

void TaskHandle::cancel() {
    if (!state_)
        return;
    const auto core = state_->queue.lock();
    if (!core)
        return;
    std::function<void()> dropped;
    {
        std::scoped_lock lock(core->mutex);
        if (state_->cancelled)
            return;
        state_->cancelled = true;
        if (state_->key) {
            core->delayed.erase(*state_->key);
            state_->key.reset();
        }
        dropped.swap(state_->task);
    }
    // `dropped` is destroyed here, outside the lock: its captures may reach this queue.
}

struct SerialQueue::Impl {
    std::shared_ptr<SerialQueueCore> core = std::make_shared<SerialQueueCore>();
    std::jthread worker;

    void schedule(const std::shared_ptr<SerialQueueTimer>& timer, Clock::duration delay,
                  Clock::duration interval, std::function<void()> task);
    static void run(SerialQueueCore& core);
    static void runGuarded(const SerialQueueCore& core, const std::function<void()>& task);
};

void SerialQueue::Impl::runGuarded(const SerialQueueCore& core, const std::function<void()>& task) {
    try {
        task();
    } catch (const std::exception& error) {
        NativeLog::write("Queue " + core.name + " task failed: " + error.what());
    } catch (...) {
        NativeLog::write("Queue " + core.name + " task failed: unknown exception");
    }
}

void SerialQueue::Impl::run(SerialQueueCore& core) {
    // The kernel keeps 15 bytes of a thread name; longer names are refused outright.
    ::pthread_setname_np(::pthread_self(), core.name.substr(0, 15).c_str());

    std::unique_lock lock(core.mutex);
    for (;;) {
        if (core.stopping)
            return;
        core.promoteDue(Clock::now());
        if (core.ready.empty()) {
            if (core.delayed.empty()) {
                core.wake.wait(lock);
            } else {
                // A copy: cancel or the destructor may erase that entry during the wait.
                const Clock::time_point due = core.delayed.begin()->first.first;
                core.wake.wait_until(lock, due);
            }
            continue;
        }

        SerialQueueCore::Ready item = std::move(core.ready.front());
        core.ready.pop_front();
        if (!item.timer) {
            lock.unlock();
            runGuarded(core, item.task);
            item.task = nullptr;
            lock.lock();
            continue;
        }

        auto& timer = *item.timer;
        if (timer.cancelled)
            continue;
        std::function<void()> task;
        task.swap(timer.task);
        lock.unlock();
        runGuarded(core, task);
        lock.lock();

        if (timer.interval > Clock::duration::zero() && !timer.cancelled && !core.stopping) {
            // Counted from the previous due time so the beat does not drift; beats missed
            // during a long run are skipped rather than run back to back.
            const auto now = Clock::now();
            auto next = timer.due + timer.interval;
            if (next <= now)
                next += ((now - next) / timer.interval + 1) * timer.interval;
            timer.due = next;
            timer.task.swap(task);
            timer.key = SerialQueueCore::Key{next, core.nextSequence++};
            core.delayed.emplace(*timer.key, std::move(item.timer));
        } else {
            lock.unlock();
            task = nullptr;
            item.timer.reset();
            lock.lock();
        }
    }
}

void SerialQueue::Impl::schedule(const std::shared_ptr<SerialQueueTimer>& state,
                                 Clock::duration delay, Clock::duration interval,
                                 std::function<void()> task) {
    state->queue = core;
    state->interval = interval;
    {
        std::scoped_lock lock(core->mutex);
        if (core->stopping) {
            state->cancelled = true;
        } else {
            state->task = std::move(task);
            state->due = Clock::now() + delay;
            state->key = SerialQueueCore::Key{state->due, core->nextSequence++};
            core->delayed.emplace(*state->key, state);
        }
    }
    core->wake.notify_one();
}

SerialQueue::SerialQueue(std::string name) : impl_(std::make_unique<Impl>()) {
    impl_->core->name = std::move(name);
    impl_->worker = std::jthread([core = impl_->core] { Impl::run(*core); });
}

SerialQueue::~SerialQueue() {
    // Nothing new starts once destruction begins: pending immediate tasks are dropped
    // and timers cancelled, so no task runs against an owner that is being torn down.
    // A task already running finishes; the destructor waits for it.
    assert(!isCurrent() && "a queue cannot be destroyed from its own worker");
    std::deque<SerialQueueCore::Ready> ready;
    std::vector<std::function<void()>> timerTasks;
    {
        auto& core = *impl_->core;
        std::scoped_lock lock(core.mutex);
        core.stopping = true;
        ready.swap(core.ready);
        for (auto& [key, state] : core.delayed) {
            state->cancelled = true;
            state->key.reset();
            timerTasks.emplace_back().swap(state->task);
        }
        for (auto& item : ready) {
            if (item.timer) {
                item.timer->cancelled = true;
                timerTasks.emplace_back().swap(item.timer->task);
            }
        }
        core.delayed.clear();
    }
    impl_->core->wake.notify_one();
    impl_->worker.join();
    // The dropped closures go last, outside the lock and after the worker has stopped.
}

void SerialQueue::submit(std::function<void()> task) {
    auto& core = *impl_->core;
    {
        std::unique_lock lock(core.mutex);
        if (core.stopping) {
            lock.unlock();
            return; // `task` is destroyed outside the lock
        }
        core.ready.push_back({std::move(task), nullptr});
    }
    core.wake.notify_one();
}

TaskHandle SerialQueue::submitAfter(double seconds, std::function<void()> task) {
    auto state = std::make_shared<TaskHandle::State>();
    impl_->schedule(state, durationFromSeconds(seconds), Clock::duration::zero(), std::move(task));
    return TaskHandle(std::move(state));
}

TaskHandle SerialQueue::scheduleRepeating(double interval, std::function<void()> task) {
    const auto period = std::max(durationFromSeconds(interval), shortestInterval);
    auto state = std::make_shared<TaskHandle::State>();
    impl_->schedule(state, period, period, std::move(task));
    return TaskHandle(std::move(state));
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == impl_->worker.get_id();
}

void SerialQueue::waitUntilIdle() {
    // From the worker itself there is nothing to wait for that could ever finish first,
    // so this returns at once instead of deadlocking.
    if (isCurrent())
        return;
    auto& core = *impl_->core;
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    {
        std::scoped_lock lock(core.mutex);
        if (core.stopping)
            return;
        // Timers already due count as submitted: they go ahead of the marker.
        core.promoteDue(Clock::now());
        core.ready.push_back({[done] { done->set_value(); }, nullptr});
    }
    core.wake.notify_one();
    // A marker dropped by the destructor breaks its promise, which also ends the wait.
    finished.wait();
}

const std::string& SerialQueue::name() const {
    return impl_->core->name;
}

} // namespace velk
