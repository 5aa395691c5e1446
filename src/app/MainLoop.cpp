#include "app/MainLoop.h"

#include <exception>
#include <string>

#include "core/NativeLog.h"

namespace velk {

MainLoop::MainLoop() : state_(std::make_shared<State>()) {}

void MainLoop::enqueue(State& state, std::function<void()> task) {
    {
        std::scoped_lock lock(state.mutex);
        if (state.exitStatus)
            return;
        state.tasks.push_back(std::move(task));
    }
    state.changed.notify_one();
}

void MainLoop::post(std::function<void()> task) {
    enqueue(*state_, std::move(task));
}

MainLoop::Executor MainLoop::executor() const {
    return [weak = std::weak_ptr<State>(state_)](std::function<void()> task) {
        if (const auto state = weak.lock())
            enqueue(*state, std::move(task));
    };
}

int MainLoop::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(state_->mutex);
            state_->changed.wait(lock,
                                 [&] { return state_->exitStatus || !state_->tasks.empty(); });
            if (state_->exitStatus) {
                state_->tasks.clear();
                return *state_->exitStatus;
            }
            task = std::move(state_->tasks.front());
            state_->tasks.pop_front();
        }
        try {
            task();
        } catch (const std::exception& error) {
            NativeLog::write(std::string("Main loop task failed ") + error.what());
        }
    }
}

void MainLoop::quit(int status) {
    {
        std::scoped_lock lock(state_->mutex);
        if (!state_->exitStatus)
            state_->exitStatus = status;
    }
    state_->changed.notify_one();
}

} // namespace velk
