#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(SystemInfoTest, KernelVersionKeepsTheLeadingThreeNumbers) {
    const std::pair<const char*, const char*> cases[] = {
        {"6.1.0-18-amd64", "6.1.0"}, {"5.15.153.1-microsoft-standard-WSL2", "5.15.153"},
        {"6.8-rc2", "6.8.0"},        {"6.0.5", "6.0.5"},
        {"garbage", "0.0.0"},        {"", "0.0.0"},
    };
    for (const auto& [release, version] : cases) {
        EXPECT_EQ(kernelVersionFromRelease(release), version) << release;
    }
    EXPECT_NE(kernelVersion(), "0.0.0");
}

} // namespace
} // namespace velk
