#include "engine/EncodeGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include "engine/FolderCompressorControlError.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

TEST(EncodeGateTest, OneHolderAtATimeAndAStopEndsTheWait) {
    EncodeGate gate;
    EngineControl control;
    control.setCancellationRequested(false);
    std::optional<EncodeGate::Permit> first;
    first.emplace(gate, control);

    std::atomic<bool> entered = false;
    auto second = std::async(std::launch::async, [&] {
        EncodeGate::Permit permit(gate, control);
        entered = true;
    });
    EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
    EXPECT_FALSE(entered);
    first.reset();
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    second.get();
    EXPECT_TRUE(entered);

    // Held by one file, the gate lets a stopped engine's waiter go with `cancelled`.
    first.emplace(gate, control);
    auto stopped =
        std::async(std::launch::async, [&] { EncodeGate::Permit permit(gate, control); });
    std::this_thread::sleep_for(100ms);
    control.setCancellationRequested(true);
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_THROW(stopped.get(), FolderCompressorControlError);
}

} // namespace
} // namespace velk
