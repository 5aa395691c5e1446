#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A one-shot signal a task raises and the test waits for. The timeout is only reached
/// when something is broken, so it never slows a passing run.
class Signal {
public:
    void raise() {
        std::call_once(once_, [this] { promise_.set_value(); });
    }
    bool wait() { return future_.wait_for(10s) == std::future_status::ready; }

private:
    std::promise<void> promise_;
    std::future<void> future_ = promise_.get_future();
    std::once_flag once_;
};

/// Lets a timer that should be dead show itself: waits past a few of its beats.
void waitPast(SerialQueue& queue, double seconds) {
    Signal later;
    queue.submitAfter(seconds, [&] { later.raise(); });
    ASSERT_TRUE(later.wait());
    queue.waitUntilIdle();
}

TEST(SerialQueueTest, KeepsEachSubmittersOrderAcrossThreads) {
    SerialQueue queue("fifo");
    constexpr int threads = 4, perThread = 500;
    std::vector<std::pair<int, int>> ran; // touched only on the queue
    std::vector<std::thread> submitters;
    for (int t = 0; t < threads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                queue.submit([&ran, t, i] { ran.emplace_back(t, i); });
        });
    }
    for (auto& submitter : submitters)
        submitter.join();
    queue.waitUntilIdle();

    ASSERT_EQ(ran.size(), std::size_t{threads * perThread});
    std::vector<int> next(threads, 0);
    for (const auto& [t, i] : ran)
        ASSERT_EQ(i, next[t]++) << "thread " << t;
}

TEST(SerialQueueTest, DelayedTasksRunInDueOrderAndNotEarly) {
    SerialQueue queue("delays");
    const auto start = Clock::now();
    std::vector<std::pair<int, Clock::duration>> ran;
    Signal last;
    for (int millis : {50, 20, 35}) {
        queue.submitAfter(millis / 1000.0, [&, millis] {
            ran.emplace_back(millis, Clock::now() - start);
            if (millis == 50)
                last.raise();
        });
    }
    ASSERT_TRUE(last.wait());
    queue.waitUntilIdle();
    ASSERT_EQ(ran.size(), 3u);
    for (std::size_t i = 0; i < ran.size(); ++i) {
        EXPECT_EQ(ran[i].first, (std::array{20, 35, 50}[i]));
        EXPECT_GE(ran[i].second, std::chrono::milliseconds(ran[i].first));
    }
}

TEST(SerialQueueTest, OutOfRangeDelaysAreClampedNotUndefined) {
    SerialQueue queue("clamp");
    int ran = 0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    std::vector<TaskHandle> handles;
    // Due now, so waitUntilIdle covers them; the far-future ones must stay pending.
    for (double now : {-1.0, nan, 0.0, -infinity}) {
        handles.push_back(queue.submitAfter(now, [&] { ++ran; }));
    }
    for (double never : {infinity, 1e300, 3600.0}) {
        handles.push_back(queue.submitAfter(never, [&] { ran += 100; }));
        handles.push_back(queue.scheduleRepeating(never, [&] { ran += 100; }));
    }
    queue.waitUntilIdle();
    EXPECT_EQ(ran, 4);
}

TEST(SerialQueueTest, CancelStopsDelayedTaskAndRepeatingTimer) {
    SerialQueue queue("cancel");
    std::atomic<int> delayedRuns = 0, ticks = 0;
    Signal threeTicks;
    TaskHandle delayed = queue.submitAfter(0.02, [&] { ++delayedRuns; });
    TaskHandle timer = queue.scheduleRepeating(0.005, [&] {
        if (++ticks == 3)
            threeTicks.raise();
    });
    delayed.cancel();
    ASSERT_TRUE(threeTicks.wait());
    timer.cancel();
    timer.cancel();
    queue.waitUntilIdle();
    const int ticksAtCancel = ticks;

    waitPast(queue, 0.06);
    EXPECT_EQ(ticks, ticksAtCancel);
    EXPECT_EQ(delayedRuns, 0);
}

TEST(SerialQueueTest, RepeatingTaskCanCancelItselfAndSkipsMissedBeats) {
    SerialQueue queue("self-cancel");
    const auto start = Clock::now();
    std::vector<Clock::duration> runs;
    auto handle = std::make_shared<TaskHandle>();
    // The handle is assigned after the first run may have begun.
    std::mutex handleMutex;
    Signal third;
    std::unique_lock scheduling(handleMutex);
    *handle = queue.scheduleRepeating(0.02, [&, handle] {
        runs.push_back(Clock::now() - start);
        // A run far longer than the interval: the beats at 40, 60 and 80 ms are missed.
        if (runs.size() == 1)
            std::this_thread::sleep_for(70ms);
        if (runs.size() == 3) {
            const std::lock_guard cancelling(handleMutex);
            handle->cancel();
            third.raise();
        }
    });
    scheduling.unlock();
    ASSERT_TRUE(third.wait());
    waitPast(queue, 0.06);

    ASSERT_EQ(runs.size(), 3u);
    // Catch-up runs would start right after the long one (~90 ms); skipping puts the
    // next runs on the 100 and 120 ms beats.
    EXPECT_GE(runs[1], 100ms);
    EXPECT_GE(runs[2], 120ms);
}

TEST(SerialQueueTest, KnowsItsOwnWorkerAndNeverWaitsForItself) {
    SerialQueue queue("com.velk.compressor.folder");
    SerialQueue other("other");
    bool insideSelf = false, insideOther = true, waited = false;
    char threadName[16] = {};
    queue.submit([&] {
        insideSelf = queue.isCurrent();
        insideOther = other.isCurrent();
        ::pthread_getname_np(::pthread_self(), threadName, sizeof threadName);
        queue.waitUntilIdle(); // would deadlock if it waited
        waited = true;
    });
    queue.waitUntilIdle();
    EXPECT_TRUE(insideSelf);
    EXPECT_FALSE(insideOther);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_TRUE(waited);
    EXPECT_STREQ(threadName, "com.velk.compre");
}

TEST(SerialQueueTest, FailingTaskIsLoggedAndTheNextOneRuns) {
    test::TempDir logs;
    test::ScopedEnv logDir("VELK_LOG_DIR", logs.path().native());
    SerialQueue queue("failing");
    bool after = false;
    queue.submit([] { throw std::runtime_error("disk on fire"); });
    queue.submit([] { throw 42; });
    queue.submit([&] { after = true; });
    queue.waitUntilIdle();
    EXPECT_TRUE(after);
    const std::string log = test::readFile(logs / "native.log");
    EXPECT_NE(log.find("Queue failing task failed: disk on fire"), std::string::npos) << log;
    EXPECT_NE(log.find("Queue failing task failed: unknown exception"), std::string::npos) << log;
}

TEST(SerialQueueTest, DestructionRunsNothingPendingAndFreesIt) {
    std::atomic<int> runs = 0;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    std::vector<TaskHandle> handles;
    {
        SerialQueue queue("teardown");
        handles.push_back(queue.submitAfter(1.0, [&, captured] { ++runs; }));
        handles.push_back(queue.scheduleRepeating(1.0, [&, captured] { ++runs; }));
        // A task holding its own handle forms a cycle the queue must break.
        auto own = std::make_shared<TaskHandle>();
        *own = queue.submitAfter(3600, [&, own, captured] { ++runs; });
        handles.push_back(*own);
        captured.reset();
    }
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(watch.expired());
    // The queue is gone: cancelling is a no-op that must not touch freed memory.
    handles.emplace_back();
    for (TaskHandle& handle : handles)
        handle.cancel();
}

} // namespace
} // namespace velk
