#include "notify/BatchNotification.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "notify/NotificationManager.h"
#include "platform/DBusNotifier.h"
#include "support/FakeNotificationServer.h"
#include "support/PrivateSessionBus.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

using namespace std::chrono_literals;
using test::FakeNotificationServer;
using test::PrivateSessionBus;
using test::ScopedEnv;
using test::TempDir;
using Event = CompressionNotificationEvent;

Event failed(const char* name) {
    return Event(Event::ProcessingFailed{std::filesystem::path("/in") / name, "damaged file"});
}
Event skipped(const char* name) {
    return Event(Event::UnsupportedFile{std::filesystem::path("/in") / name});
}

TEST(BatchNotificationTest, CountsInTheTitleAndEveryNameOnceInTheBody) {
    struct Case {
        std::vector<Event> events;
        AppLanguage language;
        std::string title;
        std::string body;
    };
    const std::vector<Case> cases = {
        {{failed("a.jpg")},
         AppLanguage::english,
         "Could not compress file",
         "\u201Ca.jpg\u201D: damaged file"},
        {{failed("a.jpg"), failed("b.png"), failed("a.jpg")},
         AppLanguage::english,
         "2 images could not be compressed",
         "a.jpg, b.png"},
        {{failed("a.jpg"), failed("b.png"), failed("c.png"), failed("d.png"), failed("e.png"),
          skipped("anim.gif")},
         AppLanguage::english,
         "6 files were not compressed",
         "a.jpg, b.png, c.png, d.png, e.png\nNot supported: anim.gif"},
        {{skipped("x.gif"), skipped("y.tiff")},
         AppLanguage::english,
         "2 files are not supported",
         "x.gif, y.tiff"},
        {{failed("1.jpg"), failed("2.jpg"), failed("3.jpg"), failed("4.jpg"), failed("5.jpg"),
          failed("6.jpg"), failed("7.jpg"), failed("8.jpg")},
         AppLanguage::english,
         "8 images could not be compressed",
         "1.jpg, 2.jpg, 3.jpg, 4.jpg, 5.jpg, 6.jpg and 2 more"},
        {{failed("a.jpg"), failed("b.jpg")},
         AppLanguage::russian,
         "Не удалось сжать 2 изображения",
         "a.jpg, b.jpg"},
        {{failed("1.jpg"), failed("2.jpg"), failed("3.jpg"), failed("4.jpg"), failed("5.jpg")},
         AppLanguage::russian,
         "Не удалось сжать 5 изображений",
         "1.jpg, 2.jpg, 3.jpg, 4.jpg, 5.jpg"},
        {{failed("a.jpg"), skipped("b.gif")},
         AppLanguage::russian,
         "Не сжато: 2 файла",
         "a.jpg\nНе поддерживаются: b.gif"},
    };
    for (const Case& c : cases) {
        const NotificationContent content = batchNotificationContent(c.events, c.language);
        EXPECT_EQ(content.title, c.title);
        EXPECT_EQ(content.body, c.body) << c.title;
    }
    EXPECT_EQ(imagesNotCompressedText(21, AppLanguage::russian), "Не удалось сжать 21 изображение");
    EXPECT_EQ(imagesNotCompressedText(12, AppLanguage::russian), "Не удалось сжать 12 изображений");
    EXPECT_EQ(imagesNotCompressedText(1, AppLanguage::english), "1 image could not be compressed");
}

TEST(BatchNotificationTest, OneNotificationPerBatchWithIconEntryAndButtonsOverTheSessionBus) {
    if (!PrivateSessionBus::daemonPath())
        GTEST_SKIP() << "dbus-daemon not installed";
    TempDir dir;
    ScopedEnv logEnv("VELK_LOG_DIR", (dir / "logs").native());
    PrivateSessionBus bus(dir.path());
    ScopedEnv busEnv("DBUS_SESSION_BUS_ADDRESS", bus.address());
    FakeNotificationServer server(bus.address(), {.capabilities = {"body", "actions"}});
    auto now = std::chrono::steady_clock::time_point{} + 24h;
    DBusNotifier notifier;
    NotificationManager manager(notifier, [&now] { return now; });
    AppConfig config;
    config.language = AppLanguage::english;

    std::vector<Event> batch = {failed("a.jpg"), failed("b.jpg"), failed("c.jpg"),
                                failed("d.jpg"), failed("e.jpg"), skipped("anim.gif")};
    manager.sendBatch(batch, config);
    manager.waitUntilIdle();
    // The same files again within the cooldown (a restart of the engine): nothing new.
    manager.sendBatch(batch, config);
    manager.waitUntilIdle();

    ASSERT_TRUE(server.waitForCount(1));
    const auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    const test::ReceivedNotification& note = received[0];
    EXPECT_EQ(note.summary, "6 files were not compressed");
    EXPECT_EQ(note.body, "a.jpg, b.jpg, c.jpg, d.jpg, e.jpg\nNot supported: anim.gif");
    EXPECT_EQ(note.appIcon, "velk-compressor");
    EXPECT_EQ(note.hints.at("desktop-entry"), "velk-compressor");
    EXPECT_EQ(note.hints.at("urgency"), "1");
    EXPECT_EQ(note.actions,
              (std::vector<std::string>{"history", "Show in history", "folder", "Open folder"}));

    // A new failure among old ones: only the new file is told.
    batch.push_back(failed("f.jpg"));
    manager.sendBatch(batch, config);
    manager.waitUntilIdle();
    ASSERT_TRUE(server.waitForCount(2));
    EXPECT_EQ(server.received()[1].summary, "Could not compress file");
    EXPECT_EQ(server.received()[1].body, "\u201Cf.jpg\u201D: damaged file");
}

} // namespace
} // namespace velk
