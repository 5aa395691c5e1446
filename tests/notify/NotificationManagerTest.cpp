#include "notify/NotificationManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/DBusNotifier.h"
#include "support/FakeNotificationServer.h"
#include "support/PrivateSessionBus.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeNotificationServer;
using test::PrivateSessionBus;
using test::ScopedEnv;
using test::TempDir;
using Event = CompressionNotificationEvent;

class ManualClock {
public:
    std::chrono::steady_clock::time_point now() const {
        std::scoped_lock lock(mutex_);
        return now_;
    }
    void advance(std::chrono::seconds by) {
        std::scoped_lock lock(mutex_);
        now_ += by;
    }
    NotificationManager::Clock function() {
        return [this] { return now(); };
    }

private:
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point{} + 24h;
};

/// The messages of the diagnostic log in `logDir`, without their timestamps; none when
/// nothing was written.
std::vector<std::string> logMessages(const fs::path& logDir) {
    std::vector<std::string> lines;
    std::error_code ec;
    if (!fs::exists(logDir / "native.log", ec))
        return lines;
    std::istringstream in(test::readFile(logDir / "native.log"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find("] ") + 2));
    return lines;
}

AppConfig config(AppLanguage language, bool enabled = true) {
    AppConfig result;
    result.language = language;
    result.notificationsEnabled = enabled;
    return result;
}

class NotificationManagerTest : public ::testing::Test {
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

    std::vector<std::string> logLines() const { return logMessages(dir_ / "logs"); }
    bool logged(const std::string& line) const {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::size_t countLogged(const std::string& line) const {
        const auto lines = logLines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }

    TempDir dir_;
    ScopedEnv logEnv_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    ScopedEnv debugEnv_{"VELK_DEBUG_LOG", std::nullopt};
    ManualClock clock_;
    std::optional<PrivateSessionBus> bus_;
    std::optional<ScopedEnv> busEnv_;
    std::optional<FakeNotificationServer> server_;
    DBusNotifier notifier_;
};

TEST_F(NotificationManagerTest, DeliversTheEventsTextInTheConfiguredLanguage) {
    FakeNotificationServer& server = startServer();
    NotificationManager manager(notifier_, clock_.function());
    const Event russian(Event::ProcessingFailed{dir_ / "отпуск.jpg", "нет места\nна диске"});
    const Event english(Event::UnsupportedFile{dir_ / "scan.tiff"});
    manager.send(russian, config(AppLanguage::russian));
    manager.send(english, config(AppLanguage::english));
    manager.waitUntilIdle();

    ASSERT_TRUE(server.waitForCount(2));
    const auto received = server.received();
    EXPECT_EQ(received[0].summary, "Не удалось сжать файл");
    EXPECT_EQ(received[0].body, "«отпуск.jpg»: нет места на диске");
    EXPECT_EQ(received[1].summary, "Unsupported file");
    EXPECT_EQ(received[1].body, "Velk | Compressor skipped \u201Cscan.tiff\u201D.");
    for (const Event& event : {russian, english}) {
        EXPECT_TRUE(logged("Notification deliver " + event.dedupeKey() + " status=2"));
        EXPECT_TRUE(logged("Notification delivered: " + event.dedupeKey()));
    }
}

TEST_F(NotificationManagerTest, CooldownHoldsEachKeyForThreeMinutes) {
    FakeNotificationServer& server = startServer();
    NotificationManager manager(notifier_, clock_.function());
    const AppConfig english = config(AppLanguage::english);
    const Event first(Event::ProcessingFailed{dir_ / "a.png", "first"});
    const Event again(Event::ProcessingFailed{dir_ / "a.png", "second"});
    const Event other(Event::ProcessingFailed{dir_ / "b.png", "first"});
    const Event watcherOne(Event::WatcherFailed{"gone"});
    const Event watcherTwo(Event::WatcherFailed{"permission denied"});

    manager.send(first, english);
    manager.send(watcherOne, english);
    manager.waitUntilIdle();
    clock_.advance(179s);
    manager.send(again, english);      // same file: held back
    manager.send(other, english);      // another file: its own key
    manager.send(watcherTwo, english); // every watcher failure shares one key
    manager.waitUntilIdle();
    clock_.advance(1s);
    manager.send(again, english); // 180 s after the first: through
    manager.waitUntilIdle();

    ASSERT_TRUE(server.waitForCount(4));
    std::vector<std::string> bodies;
    for (const auto& note : server.received())
        bodies.push_back(note.body);
    EXPECT_EQ(bodies,
              (std::vector<std::string>{"\u201Ca.png\u201D: first", "gone",
                                        "\u201Cb.png\u201D: first", "\u201Ca.png\u201D: second"}));
    ASSERT_EQ(first.dedupeKey().rfind("failed:", 0), 0u);
    EXPECT_EQ(countLogged("Notification skipped by cooldown: " + first.dedupeKey()), 1u);
    EXPECT_EQ(countLogged("Notification skipped by cooldown: watcher"), 1u);
    EXPECT_EQ(server.notifyCalls(), 4u);
}

TEST_F(NotificationManagerTest, SwitchedOffSendsNothingAndStartsNoCooldown) {
    FakeNotificationServer& server = startServer();
    NotificationManager manager(notifier_, clock_.function());
    const Event event(Event::WatcherFailed{"gone"});
    manager.send(event, config(AppLanguage::russian, /*enabled=*/false));
    manager.send(Event(Event::AlreadyOptimal{dir_ / "a.png"}), config(AppLanguage::russian));
    manager.waitUntilIdle();
    EXPECT_EQ(server.notifyCalls(), 0u);
    EXPECT_TRUE(logged("Notification skipped because disabled: watcher"));

    manager.send(event, config(AppLanguage::russian));
    manager.waitUntilIdle();
    ASSERT_TRUE(server.waitForCount(1));
    EXPECT_EQ(server.received()[0].summary, "Папка недоступна");
    EXPECT_EQ(server.notifyCalls(), 1u);
}

TEST_F(NotificationManagerTest, MissingServiceIsOnlyLoggedAndStillStartsTheCooldown) {
    struct Case {
        const char* name;
        bool bus;
    };
    for (const Case& c : {Case{"bus without a server", true}, Case{"no bus at all", false}}) {
        SCOPED_TRACE(c.name);
        std::optional<ScopedEnv> noBus;
        if (!c.bus)
            noBus.emplace("DBUS_SESSION_BUS_ADDRESS",
                          "unix:path=" + (dir_ / "no-such-socket").native());
        std::error_code ec;
        fs::remove(dir_ / "logs" / "native.log", ec);
        NotificationManager manager(notifier_, clock_.function());
        manager.requestAuthorizationIfNeeded();
        manager.send(Event(Event::WatcherFailed{"gone"}), config(AppLanguage::english));
        manager.send(Event(Event::WatcherFailed{"gone"}), config(AppLanguage::english));
        manager.waitUntilIdle();
        EXPECT_EQ(logLines(), (std::vector<std::string>{
                                  "Notification authorization status=1",
                                  "Notification deliver watcher status=1",
                                  "Notification denied by Linux: watcher",
                                  "Notification skipped by cooldown: watcher",
                              }));
    }
}

TEST_F(NotificationManagerTest, RefusedDeliveryIsOnlyLogged) {
    startServer({.refuseNotify = true});
    NotificationManager manager(notifier_, clock_.function());
    manager.requestAuthorizationIfNeeded();
    manager.send(Event(Event::WatcherFailed{"gone"}), config(AppLanguage::english));
    manager.waitUntilIdle();
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Notification authorization status=2");
    EXPECT_EQ(lines[1], "Notification deliver watcher status=2");
    EXPECT_EQ(lines[2].rfind("Notification delivery failed: ", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("refused by test"), std::string::npos) << lines[2];
}

TEST_F(NotificationManagerTest, DestroyingWithWorkPendingIsSafe) {
    startServer();
    for (int round = 0; round < 5; ++round) {
        NotificationManager manager(notifier_, clock_.function());
        for (int i = 0; i < 20; ++i)
            manager.send(Event(Event::UnsupportedFile{dir_ / (std::to_string(i) + ".svg")}),
                         config(AppLanguage::english));
    }
    SUCCEED();
}

/// A desktop that asks the user once: until then the status is "not determined".
class AskingNotifier final : public Notifier {
public:
    explicit AskingNotifier(NotificationAuthorizationAnswer answer) : answer_(std::move(answer)) {}

    NotificationAuthorization authorizationStatus() override {
        std::scoped_lock lock(mutex_);
        return status_;
    }
    NotificationAuthorizationAnswer requestAuthorization() override {
        std::scoped_lock lock(mutex_);
        if (status_ == NotificationAuthorization::notDetermined && !answer_.error)
            status_ = answer_.granted ? NotificationAuthorization::authorized
                                      : NotificationAuthorization::denied;
        return answer_;
    }
    std::optional<std::string> post(const std::string& identifier, const std::string& title,
                                    const std::string&) override {
        std::scoped_lock lock(mutex_);
        if (status_ != NotificationAuthorization::authorized)
            return "not authorized";
        shown_.push_back({identifier, title});
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> shown() {
        std::scoped_lock lock(mutex_);
        return shown_;
    }

private:
    std::mutex mutex_;
    NotificationAuthorizationAnswer answer_;
    NotificationAuthorization status_ = NotificationAuthorization::notDetermined;
    std::vector<std::pair<std::string, std::string>> shown_;
};

TEST(NotificationManagerAuthorizationTest, FirstEventAsksAndIsShownOnlyIfGranted) {
    TempDir dir;
    ScopedEnv logEnv("VELK_LOG_DIR", (dir / "logs").native());
    struct Case {
        NotificationAuthorizationAnswer answer;
        std::vector<std::string> log;
        bool shown;
    };
    const std::vector<Case> cases = {
        {{true, std::nullopt},
         {"Notification deliver watcher status=0",
          "Notification authorization requested granted=true", "Notification delivered: watcher"},
         true},
        {{false, std::nullopt},
         {"Notification deliver watcher status=0",
          "Notification authorization requested granted=false",
          "Notification authorization not granted: watcher"},
         false},
        {{false, "no prompt possible"},
         {"Notification deliver watcher status=0",
          "Notification authorization requested granted=false",
          "Notification authorization failed: no prompt possible"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.back());
        std::error_code ec;
        fs::remove(dir / "logs" / "native.log", ec);
        AskingNotifier notifier(c.answer);
        {
            NotificationManager manager(notifier);
            manager.send(Event(Event::WatcherFailed{"gone"}), config(AppLanguage::english));
            manager.waitUntilIdle();
        }
        EXPECT_EQ(logMessages(dir / "logs"), c.log);
        const auto shown = notifier.shown();
        ASSERT_EQ(shown.size(), c.shown ? 1u : 0u);
        if (c.shown) {
            EXPECT_EQ(shown[0].second, "Folder unavailable");
            const std::string prefix =
                "velk." + std::to_string(std::hash<std::string>{}("watcher")) + ".";
            EXPECT_EQ(shown[0].first.rfind(prefix, 0), 0u) << shown[0].first;
        }
    }
}

TEST(NotificationManagerAuthorizationTest, AsksOnlyWhileUndetermined) {
    TempDir dir;
    ScopedEnv logEnv("VELK_LOG_DIR", (dir / "logs").native());
    AskingNotifier notifier({true, std::nullopt});
    NotificationManager manager(notifier);
    manager.requestAuthorizationIfNeeded();
    manager.requestAuthorizationIfNeeded();
    manager.waitUntilIdle();
    EXPECT_EQ(logMessages(dir / "logs"),
              (std::vector<std::string>{"Notification authorization status=0",
                                        "Notification authorization requested granted=true",
                                        "Notification authorization status=2"}));
}

TEST(NotificationManagerManyKeysTest, ForgettingExpiredKeysKeepsLiveCooldowns) {
    TempDir dir;
    ScopedEnv logEnv("VELK_LOG_DIR", (dir / "logs").native());
    AskingNotifier notifier({true, std::nullopt});
    ManualClock clock;
    NotificationManager manager(notifier, clock.function());
    const AppConfig english = config(AppLanguage::english);
    const auto failure = [&](int i) {
        return Event(Event::ProcessingFailed{dir / (std::to_string(i) + ".png"), "bad"});
    };
    for (int i = 0; i < 700; ++i)
        manager.send(failure(i), english);
    manager.waitUntilIdle();
    clock.advance(179s);
    manager.send(failure(1000), english); // a new key while the map is large
    for (int i = 0; i < 700; ++i)
        manager.send(failure(i), english);
    manager.waitUntilIdle();
    EXPECT_EQ(notifier.shown().size(), 701u);

    clock.advance(1s);
    manager.send(failure(2000), english); // the first 700 have now expired
    manager.send(failure(1000), english); // this one has not
    manager.send(failure(0), english);
    manager.waitUntilIdle();
    EXPECT_EQ(notifier.shown().size(), 703u);
}

} // namespace
} // namespace velk
