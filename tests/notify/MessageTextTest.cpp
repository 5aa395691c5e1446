#include "notify/MessageText.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/Text.h"

namespace velk {
namespace {

std::string repeat(std::string_view unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += unit;
    return out;
}

TEST(MessageTextTest, CountsWhatAReaderSeesAsOneCharacter) {
    const std::vector<std::pair<std::string, std::size_t>> cases = {
        {"", 0},
        {"abc", 3},
        {"Файл", 4},
        {"e\u0301", 1},                                    // e + combining acute
        {"a\u0308\u0323b", 2},                             // two marks on one letter
        {"\u0928\u093F", 1},                               // consonant + vowel sign (Mc)
        {"\U0001F44D\U0001F3FD", 1},                       // thumbs up, skin tone
        {"\U0001F1F7\U0001F1FA", 1},                       // flag RU
        {"\U0001F1F7\U0001F1FA\U0001F1E9\U0001F1EA", 2},   // two flags
        {"\U0001F1F7\U0001F1FA\U0001F1E9", 2},             // a flag and a lone indicator
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1}, // family joined by ZWJ
        {"\u2764\uFE0F", 1},                               // heart with emoji presentation
        {"1\uFE0F\u20E3", 1},                              // keycap
        {"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F", 1}, // tag flag
        {"\u1100\u1161\u11A8", 1}, // conjoining Hangul syllable
        {"\uD55C\uAE00", 2},       // precomposed Hangul
        {"\r\n", 1},
        {"a\n\u0301", 3}, // a mark cannot attach to a line break
        {"\xFF\xFE", 2},  // invalid bytes count one each
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(userPerceivedLength(text), expected) << text;
    }
}

TEST(MessageTextTest, ShortensLongMessagesToOneLineOf120) {
    const std::string exact = repeat("x", 119) + "e\u0301";
    EXPECT_EQ(shortenedMessage(exact), exact);

    std::string multiline;
    for (int i = 0; i < 20; ++i)
        multiline += "line " + std::to_string(i % 10) + " ok\n";
    ASSERT_EQ(userPerceivedLength(multiline), 200u);
    const std::string shortened = shortenedMessage(multiline);
    EXPECT_EQ(shortened.find('\n'), std::string::npos);
    EXPECT_EQ(userPerceivedLength(shortened), 120u);
    std::string expected = multiline.substr(0, 117);
    std::replace(expected.begin(), expected.end(), '\n', ' ');
    EXPECT_EQ(shortened, expected + "...");

    // The cut never splits a character made of several code points.
    const std::string emoji = repeat("\U0001F44D\U0001F3FD", 121);
    EXPECT_EQ(shortenedMessage(emoji), repeat("\U0001F44D\U0001F3FD", 117) + "...");
    EXPECT_EQ(shortenedMessage(repeat("ж", 121)), repeat("ж", 117) + "...");

    const std::string raw = "bad \xE9t\xE9";
    EXPECT_TRUE(isValidUtf8(shortenedMessage(raw)));
}

} // namespace
} // namespace velk
