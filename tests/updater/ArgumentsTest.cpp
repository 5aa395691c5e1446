#include "updater/Arguments.h"

#include <gtest/gtest.h>

namespace velk::updater {
namespace {

using Words = std::vector<std::string>;

TEST(ArgumentsTest, AcceptsThePairsInAnyOrderWithTheFlagAnywhere) {
    const Arguments expected{42, "/Apps/VelkCompressor.app", "/tmp/u/update.dmg", "2.0-beta", true};
    const std::vector<Words> lines = {
        {"--pid", "42", "--target", "/Apps/VelkCompressor.app", "--dmg", "/tmp/u/update.dmg",
         "--version", "2.0-beta", "--relaunch"},
        {"--relaunch", "--version", "2.0-beta", "--dmg", "/tmp/u/update.dmg", "--target",
         "/Apps/VelkCompressor.app", "--pid", "42"},
        // A repeated key keeps its last value; unknown keys are passed over.
        {"--pid", "7", "--colour", "blue", "--target", "/Apps/VelkCompressor.app", "--dmg",
         "/tmp/u/update.dmg", "--version", "2.0-beta", "--pid", "+42", "--relaunch"},
    };
    for (const auto& line : lines)
        EXPECT_EQ(parseArguments(line), expected);
}

TEST(ArgumentsTest, ValuesAreTakenVerbatim) {
    const auto parsed =
        parseArguments({"--pid", "-1", "--target", "", "--dmg", "--relaunch", "--version", "--x"});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->parentPID, -1);
    EXPECT_EQ(parsed->targetURL, "");
    EXPECT_EQ(parsed->diskImageURL, "--relaunch");
    EXPECT_EQ(parsed->expectedVersion, "--x");
    EXPECT_FALSE(parsed->relaunch);
    EXPECT_EQ(
        parseArguments({"--pid", "-2147483648", "--target", "t", "--dmg", "d", "--version", "1"})
            ->parentPID,
        INT32_MIN);
}

TEST(ArgumentsTest, RefusesIncompleteOrMalformedLines) {
    const Words good = {"--pid", "1", "--target", "t", "--dmg", "d", "--version", "1"};
    auto with = [&](std::size_t index, std::string value) {
        Words words = good;
        words[index] = std::move(value);
        return words;
    };
    const std::vector<Words> bad = {
        {},
        {"--relaunch"},
        with(1, "12a"),
        with(1, ""),
        with(1, "+"),
        with(1, "2147483648"),
        with(1, "99999999999999999999999"),
        with(7, ""),
        with(2, "--targets"),
        {"stray", "--pid", "1", "--target", "t", "--dmg", "d", "--version", "1"},
        {"--pid", "1", "--target", "t", "--version", "1", "--relaunch", "--dmg"},
    };
    for (const auto& words : bad) {
        std::string line;
        for (const auto& word : words)
            line += "[" + word + "] ";
        EXPECT_FALSE(parseArguments(words)) << line;
    }
}

} // namespace
} // namespace velk::updater
