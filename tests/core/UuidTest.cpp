#include "core/Uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace velk {
namespace {

TEST(UuidTest, RandomIsCanonicalUpperCaseVersion4AndParsesBack) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const Uuid uuid = Uuid::random();
        const std::string text = uuid.toString();
        EXPECT_TRUE(std::regex_match(
            text,
            std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << text;
        EXPECT_EQ(Uuid::parse(text), uuid);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->toString(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(Uuid::parse("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(Uuid::parse("G621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
}

TEST(UuidTest, AForkedProcessDrawsDifferentUuidsFromItsParent) {
    // A generator seeded once per thread would hand a child the parent's future names.
    (void)Uuid::random();
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto bytes = Uuid::random().bytes();
        _exit(::write(channel[1], bytes.data(), bytes.size()) == 16 ? 0 : 1);
    }
    const auto mine = Uuid::random().bytes();
    std::array<std::uint8_t, 16> theirs{};
    EXPECT_EQ(::read(channel[0], theirs.data(), theirs.size()), 16);
    ::close(channel[0]);
    ::close(channel[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_NE(mine, theirs);
}

} // namespace
} // namespace velk
