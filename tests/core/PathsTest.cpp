#include "core/Paths.h"

#include <gtest/gtest.h>

#include "core/Text.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

TEST(PathsTest, StandardizedResolvesDotsButNotLinks) {
    EXPECT_EQ(standardized("/a/./b/../c/"), fs::path("/a/c"));
    EXPECT_EQ(standardized("/../x"), fs::path("/x"));
    EXPECT_EQ(standardized("/"), fs::path("/"));
    EXPECT_TRUE(standardized("relative/dir").is_absolute());
}

TEST(PathsTest, FileURLRoundTripsAnyBytes) {
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {"/home/u/Pictures/Inbox", "file:///home/u/Pictures/Inbox"},
        {"/a b/ü%#?.png", "file:///a%20b/%C3%BC%25%23%3F.png"},
        {"/raw/\xFF\xFE.jpg", "file:///raw/%FF%FE.jpg"},
    };
    for (const auto& [path, url] : cases) {
        EXPECT_EQ(fileURL(path), url);
        EXPECT_EQ(pathFromFileURL(url), path) << url;
    }
    EXPECT_EQ(fileURL("/home/u/Inbox", true), "file:///home/u/Inbox/");
    EXPECT_EQ(pathFromFileURL("file:///home/u/Inbox/"), fs::path("/home/u/Inbox"));
    EXPECT_EQ(pathFromFileURL("file://localhost/tmp/x"), fs::path("/tmp/x"));
    for (const char* bad : {"http://x/y", "/plain/path", "file:///bad%G1", "file:///trunc%2",
                            "file:///nul%00byte", "file://otherhost/x"}) {
        EXPECT_FALSE(pathFromFileURL(bad)) << bad;
    }
}

TEST(PathsTest, KeysAreReadableForUtf8AndInjectiveOtherwise) {
    const fs::path utf8 = "/photos/été.jpg";
    const fs::path raw = "/photos/\xE9t\xE9.jpg"; // the same name in Latin-1
    EXPECT_EQ(pathKey(utf8), "/photos/été.jpg");
    EXPECT_TRUE(isValidUtf8(pathKey(raw)));
    EXPECT_NE(pathKey(raw), pathKey(utf8));
    EXPECT_EQ(pathFromKey(pathKey(raw)), raw);
    EXPECT_EQ(pathFromKey(pathKey(utf8)), utf8);
    EXPECT_EQ(displayName(raw), "\xEF\xBF\xBDt\xEF\xBF\xBD.jpg");
}

TEST(PathsTest, DisplayTextEscapesEveryControlVisiblyAndKeepsTheRest) {
    struct Case {
        std::string bytes;
        std::string shown;
    };
    for (const auto& [bytes, shown] : {
             Case{"a\nb\rc\td", "a\\nb\\rc\\td"},
             Case{std::string("\x1b[31mred\x00\x7f", 10), "\\x1b[31mred\\x00\\x7f"},
             Case{"next\u0085line\u009b", "next\\u0085line\\u009b"},
             Case{"caf\u00e9 \u00a0\u2028 \\n", "caf\u00e9 \u00a0\u2028 \\n"},
             Case{"bad\xC2", "bad\xEF\xBF\xBD"}, // a lone lead byte is no C1 control
         }) {
        EXPECT_EQ(displayText(bytes), shown);
    }
    // JSON and D-Bus get the text itself, only made valid.
    EXPECT_EQ(validUtf8Text("a\n\x1b\u0085\xFF"), "a\n\x1b\u0085\xEF\xBF\xBD");
    EXPECT_EQ(displayName("/in/\x1b]0;x\x07\n[2026] forged.jpg"),
              "\\x1b]0;x\\x07\\n[2026] forged.jpg");
}

TEST(PathsTest, Utf8ValidationRejectsMalformedSequences) {
    EXPECT_TRUE(isValidUtf8("plain ascii, кириллица, 😀"));
    for (std::string bad : {std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                            std::string("\xF4\x90\x80\x80"), std::string("abc\xE2\x82")}) {
        EXPECT_FALSE(isValidUtf8(bad));
    }
}

} // namespace
} // namespace velk
