#pragma once

#include <functional>
#include <memory>
#include <string>

namespace velk {

/// Handle to a delayed task or a repeating timer. cancel() is idempotent and, once it
/// returns, the task will not start (a run already under way finishes; cancel does not
/// wait for it, so calling it from inside the task is safe). A no-op once the queue is gone.
class TaskHandle {
public:
    TaskHandle() = default;
    void cancel();
    bool valid() const { return state_ != nullptr; }

private:
    friend class SerialQueue;
    struct State;
    explicit TaskHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

/// One worker thread running tasks one at a time, in submission order; delayed tasks
/// run in order of their due time. An exception escaping a task is logged and the
/// worker lives on. The destructor lets a running task finish, runs nothing else (pending
/// immediate tasks are dropped, timers cancelled) and joins the worker; it must not be
/// called from the worker itself.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    ~SerialQueue();

    void submit(std::function<void()> task);
    TaskHandle submitAfter(double seconds, std::function<void()> task);
    /// First run after `interval`, then every `interval` until cancelled; beats missed
    /// while the queue was busy are skipped. Intervals below a millisecond count as one.
    TaskHandle scheduleRepeating(double interval, std::function<void()> task);

    /// True when called from this queue's worker.
    bool isCurrent() const;
    /// Returns once every task submitted before the call (not delayed ones that are not
    /// yet due) has run. Called from the queue itself it returns at once, since waiting
    /// there could never end.
    void waitUntilIdle();

    const std::string& name() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velk
