#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace velk {

/// The main thread of the headless mode: runs posted tasks one at a time, in order, until
/// asked to quit.
class MainLoop {
public:
    using Executor = std::function<void(std::function<void()>)>;

    MainLoop();

    /// Safe from any thread, also after the loop has ended (the task is then dropped).
    void post(std::function<void()> task);
    /// Posts through this loop; the executor stays valid after the loop is gone.
    Executor executor() const;

    /// Runs tasks until quit() and returns the status given to it. An exception leaving a
    /// task is logged and the loop goes on.
    int run();
    /// Ends run() after the current task; tasks still queued are not run.
    void quit(int status);

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::function<void()>> tasks;
        std::optional<int> exitStatus;
    };
    static void enqueue(State& state, std::function<void()> task);

    std::shared_ptr<State> state_;
};

} // namespace velk
