#include "platform/DBusNotifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/FakeNotificationServer.h"
#include "support/PrivateSessionBus.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

using test::FakeNotificationServer;
using test::PrivateSessionBus;
using test::ScopedEnv;
using test::TempDir;

class DBusNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PrivateSessionBus::daemonPath())
            GTEST_SKIP() << "dbus-daemon not installed";
        bus_.emplace(dir_.path());
        busEnv_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address());
    }

    FakeNotificationServer& startServer(FakeNotificationServer::Options options = {}) {
        return server_.emplace(bus_->address(), std::move(options));
    }

    TempDir dir_;
    std::optional<PrivateSessionBus> bus_;
    std::optional<ScopedEnv> busEnv_;
    std::optional<FakeNotificationServer> server_;
};

TEST_F(DBusNotifierTest, PostsTextUnchangedWithTheFixedCallShape) {
    FakeNotificationServer& server = startServer();
    DBusNotifier notifier;
    EXPECT_EQ(notifier.authorizationStatus(), NotificationAuthorization::authorized);
    const NotificationAuthorizationAnswer answer = notifier.requestAuthorization();
    EXPECT_TRUE(answer.granted);
    EXPECT_FALSE(answer.error);

    const std::vector<std::pair<std::string, std::string>> texts = {
        {"Не удалось сжать файл", "«отпуск 2024.jpg»: нет места на диске"},
        {"Could not compress file", "\u201Choliday.jpg\u201D: disk full"},
        {"Velk | Compressor", "tabs\tand \"quotes\" and 'apostrophes' stay; emoji 📷 too"},
    };
    for (const auto& [title, body] : texts)
        EXPECT_EQ(notifier.post("velk.1.2", title, body), std::nullopt) << title;

    ASSERT_TRUE(server.waitForCount(texts.size()));
    const std::vector<test::ReceivedNotification> received = server.received();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const test::ReceivedNotification& note = received[i];
        EXPECT_EQ(note.summary, texts[i].first);
        EXPECT_EQ(note.body, texts[i].second);
        EXPECT_EQ(note.appName, "Velk | Compressor");
        EXPECT_EQ(note.replacesId, 0u);
        EXPECT_EQ(note.appIcon, "velk-compressor");
        EXPECT_TRUE(note.actions.empty());
        EXPECT_EQ(note.hintCount, 2u);
        EXPECT_EQ(note.hints.at("desktop-entry"), "velk-compressor");
        EXPECT_EQ(note.hints.at("urgency"), "1");
        EXPECT_EQ(note.expireTimeout, -1);
    }
}

TEST_F(DBusNotifierTest, ButtonsOnlyWhereOfferedAndAClickComesBackWithItsIdentifier) {
    const NotificationContent content{
        .title = "3 images could not be compressed",
        .body = "a.jpg, b.png, c.webp",
        .urgency = NotificationUrgency::critical,
        .actions = {{"history", "Show in history"}, {"folder", "Open folder"}}};
    for (const bool offersActions : {false, true}) {
        SCOPED_TRACE(offersActions ? "server with actions" : "server without actions");
        server_.reset();
        FakeNotificationServer& server =
            startServer({.capabilities = offersActions ? std::vector<std::string>{"body", "actions"}
                                                       : std::vector<std::string>{"body"}});
        std::mutex mutex;
        std::condition_variable chosen;
        std::vector<std::pair<std::string, std::string>> clicks;
        DBusNotifier notifier;
        notifier.setActionHandler([&](const std::string& id, const std::string& action) {
            std::scoped_lock lock(mutex);
            clicks.emplace_back(id, action);
            chosen.notify_all();
        });
        ASSERT_EQ(notifier.postNotification("velk.batch.1", content), std::nullopt);
        ASSERT_TRUE(server.waitForCount(1));
        const test::ReceivedNotification note = server.received()[0];
        EXPECT_EQ(note.hints.at("urgency"), "2");
        const std::vector<std::string> buttons = {"history", "Show in history", "folder",
                                                  "Open folder"};
        EXPECT_EQ(note.actions, offersActions ? buttons : std::vector<std::string>{});
        if (!offersActions)
            continue;
        server.invokeAction(1, "folder");
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            chosen.wait_for(lock, std::chrono::seconds(5), [&] { return !clicks.empty(); }));
        EXPECT_EQ(clicks[0], (std::pair<std::string, std::string>{"velk.batch.1", "folder"}));
    }
}

TEST_F(DBusNotifierTest, MarkupServerGetsTheBodyEscapedAndTheTitleAsIs) {
    FakeNotificationServer& server = startServer({.capabilities = {"body", "body-markup"}});
    DBusNotifier notifier;
    ASSERT_EQ(notifier.post("velk.1.2", "R&D <1>", "“R&D <b>draft</b>.png”: failed"), std::nullopt);
    ASSERT_TRUE(server.waitForCount(1));
    EXPECT_EQ(server.received()[0].summary, "R&D <1>");
    EXPECT_EQ(server.received()[0].body, "“R&amp;D &lt;b&gt;draft&lt;/b&gt;.png”: failed");
}

TEST_F(DBusNotifierTest, NoBusOrNoServerIsDeniedAndEveryCallFails) {
    struct Case {
        const char* name;
        std::optional<std::string> address;
        std::optional<std::string> runtimeDir;
    };
    const std::vector<Case> cases = {
        {"bus without a server", bus_->address(), std::nullopt},
        {"address of a missing socket", "unix:path=" + (dir_ / "no-such-socket").native(),
         std::nullopt},
        {"no address and no socket in the runtime folder", std::nullopt, dir_.path().native()},
        {"no address and no runtime folder", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.address);
        ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtimeDir);
        DBusNotifier notifier;
        EXPECT_EQ(notifier.authorizationStatus(), NotificationAuthorization::denied);
        const NotificationAuthorizationAnswer answer = notifier.requestAuthorization();
        EXPECT_FALSE(answer.granted);
        EXPECT_TRUE(answer.error);
        const std::optional<std::string> error = notifier.post("velk.1.2", "title", "body");
        ASSERT_TRUE(error);
        EXPECT_FALSE(error->empty());
    }
}

TEST_F(DBusNotifierTest, RefusedNotifyIsReportedWithTheServersReason) {
    FakeNotificationServer& server = startServer({.refuseNotify = true});
    DBusNotifier notifier;
    const std::optional<std::string> error = notifier.post("velk.1.2", "title", "body");
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("refused by test"), std::string::npos) << *error;
    EXPECT_EQ(server.notifyCalls(), 1u);
}

TEST_F(DBusNotifierTest, HungServerCostsNoMoreThanTheTimeout) {
    startServer({.ignoreNotify = true});
    DBusNotifier notifier(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    const std::optional<std::string> error = notifier.post("velk.1.2", "title", "body");
    EXPECT_TRUE(error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
} // namespace velk
