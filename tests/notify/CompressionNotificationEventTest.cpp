#include "notify/CompressionNotificationEvent.h"

#include <gtest/gtest.h>

#include <set>

#include "core/Text.h"

namespace velk {
namespace {

using Event = CompressionNotificationEvent;
namespace fs = std::filesystem;

TEST(CompressionNotificationEventTest, DedupeKeysFollowTheStandardisedFile) {
    const fs::path photo = "/home/u/In/photo.png";
    EXPECT_EQ(Event(Event::UnsupportedFile{"/home/u/In/./x/../clip.mov"}).dedupeKey(),
              "unsupported:/home/u/In/clip.mov");
    EXPECT_EQ(Event(Event::ProcessingFailed{photo, "a"}).dedupeKey(),
              Event(Event::ProcessingFailed{"/home/u/In//photo.png", "b"}).dedupeKey());
    EXPECT_EQ(Event(Event::WatcherFailed{"gone"}).dedupeKey(),
              Event(Event::WatcherFailed{"denied"}).dedupeKey());

    const std::set<std::string> keys = {
        Event(Event::ProcessingFailed{photo, "a"}).dedupeKey(),
        Event(Event::ProcessingFailed{"/home/u/In/other.png", "a"}).dedupeKey(),
        Event(Event::AlreadyOptimal{photo}).dedupeKey(),
        Event(Event::UnsupportedFile{photo}).dedupeKey(),
        Event(Event::WatcherFailed{"x"}).dedupeKey(),
    };
    EXPECT_EQ(keys.size(), 5u);

    // Names in other encodings stay distinct and still give usable text.
    const std::string latin1 = Event(Event::AlreadyOptimal{"/p/\xE9t\xE9.jpg"}).dedupeKey();
    const std::string other = Event(Event::AlreadyOptimal{"/p/\xE8t\xE8.jpg"}).dedupeKey();
    EXPECT_TRUE(isValidUtf8(latin1));
    EXPECT_NE(latin1, other);
}

TEST(CompressionNotificationEventTest, TextsInBothLanguages) {
    struct Case {
        Event event;
        std::string russianTitle, russianBody, englishTitle, englishBody;
    };
    const std::vector<Case> cases = {
        {Event(Event::UnsupportedFile{"/in/clip.mov"}), "Файл не поддерживается",
         "Velk | Compressor пропустил «clip.mov».", "Unsupported file",
         "Velk | Compressor skipped \u201Cclip.mov\u201D."},
        {Event(Event::ProcessingFailed{"/in/a.png", "Bad\ndata"}), "Не удалось сжать файл",
         "«a.png»: Bad data", "Could not compress file", "\u201Ca.png\u201D: Bad data"},
        // A message that names the file itself, even in the other language's quotes, is
        // not prefixed with the name a second time.
        {Event(Event::ProcessingFailed{"/in/a.png", "«a.png» не читается как PNG."}),
         "Не удалось сжать файл", "«a.png» не читается как PNG.", "Could not compress file",
         "«a.png» не читается как PNG."},
        {Event(Event::WatcherFailed{"No access"}), "Папка недоступна", "No access",
         "Folder unavailable", "No access"},
        {Event(Event::AlreadyOptimal{"/in/b.jpg"}), "Файл уже оптимален",
         "«b.jpg» оставлен без изменений: новый файл был бы тяжелее.", "File already optimal",
         "\u201Cb.jpg\u201D was left unchanged because the new file would be larger."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.event.title(AppLanguage::russian), c.russianTitle);
        EXPECT_EQ(c.event.body(AppLanguage::russian), c.russianBody);
        EXPECT_EQ(c.event.title(AppLanguage::english), c.englishTitle);
        EXPECT_EQ(c.event.body(AppLanguage::english), c.englishBody);
    }
}

TEST(CompressionNotificationEventTest, BodiesAreValidTextWhateverTheFileName) {
    const fs::path raw = "/in/\xE9t\xE9.png";
    const std::string longMessage(300, 'e');
    for (const Event& event : {Event(Event::UnsupportedFile{raw}),
                               Event(Event::ProcessingFailed{raw, "read " + raw.native()}),
                               Event(Event::AlreadyOptimal{raw})}) {
        EXPECT_TRUE(isValidUtf8(event.body(AppLanguage::english))) << event.dedupeKey();
    }
    const std::string body =
        Event(Event::ProcessingFailed{"/in/a.png", longMessage}).body(AppLanguage::english);
    EXPECT_EQ(body, "\u201Ca.png\u201D: " + std::string(117, 'e') + "...");
}

} // namespace
} // namespace velk
