#include "app/shell/TrayStatus.h"

#include <gtest/gtest.h>

#include "app/shell/StatusIcon.h"

namespace velk {
namespace {

TrayFacts watching() {
    TrayFacts facts;
    facts.hasFolder = true;
    facts.enabled = true;
    facts.running = true;
    facts.folder = "~/Pictures/Inbox";
    facts.language = AppLanguage::english;
    facts.now = std::chrono::system_clock::now();
    return facts;
}

Date todayAt(int hour, int minute) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = 0;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

TEST(TrayStatusTest, EachStateHasItsLineAndTheMoreUrgentOneWins) {
    struct Case {
        const char* name;
        std::function<void(TrayFacts&)> change;
        TrayState state;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"idle, nothing done yet", [](TrayFacts&) {}, TrayState::idle, "Watching ~/Pictures/Inbox"},
        {"idle with totals",
         [](TrayFacts& f) {
             f.compressedFiles = 1204;
             f.savedBytes = 312'400'000;
         },
         TrayState::idle, "Watching ~/Pictures/Inbox · 1,204 files · 312.4 MB saved"},
        {"working",
         [](TrayFacts& f) {
             f.stats.active = 1;
             f.stats.batchTotal = 6;
             f.stats.batchDone = 2;
             f.stats.currentFile = "holiday.jpg";
         },
         TrayState::working, "3 of 6 · holiday.jpg"},
        {"working, engine without batch size",
         [](TrayFacts& f) {
             f.stats.active = 1;
             f.stats.progress = 37;
         },
         TrayState::working, "Compressing… 37%"},
        {"failures unseen", [](TrayFacts& f) { f.unseenFailures = 2; }, TrayState::attention,
         "2 images could not be compressed"},
        {"working outranks failures",
         [](TrayFacts& f) {
             f.unseenFailures = 2;
             f.stats.active = 1;
         },
         TrayState::working, "Compressing… 0%"},
        {"paused until resumed, over failures",
         [](TrayFacts& f) {
             f.running = false;
             f.paused = true;
             f.unseenFailures = 2;
         },
         TrayState::paused, "Paused"},
        {"paused until 14:00",
         [](TrayFacts& f) {
             f.running = false;
             f.paused = true;
             f.now = todayAt(9, 0);
             f.pausedUntil = todayAt(14, 0);
         },
         TrayState::paused, "Paused until 14:00"},
        {"paused until tomorrow",
         [](TrayFacts& f) {
             f.running = false;
             f.paused = true;
             f.now = todayAt(9, 0);
             f.pausedUntil = todayAt(0, 0) + std::chrono::hours(24);
         },
         TrayState::paused, "Paused until tomorrow"},
        {"switched off",
         [](TrayFacts& f) {
             f.enabled = false;
             f.running = false;
         },
         TrayState::off, "Automatic compression is off"},
        {"another engine holds the folder",
         [](TrayFacts& f) {
             f.running = false;
             f.watcherError = "Folder is in use by another Velk | Compressor";
         },
         TrayState::problem, "Folder is in use by another Velk | Compressor"},
        {"folder gone outranks a pause",
         [](TrayFacts& f) {
             f.running = false;
             f.paused = true;
             f.folderUnavailable = true;
             f.watcherError = "Folder not found: ~/Pictures/Inbox";
         },
         TrayState::folderUnavailable, "Folder not found: ~/Pictures/Inbox"},
        {"no folder yet",
         [](TrayFacts& f) {
             f.hasFolder = false;
             f.running = false;
         },
         TrayState::setup, "Choose a compression folder"},
    };
    for (const Case& c : cases) {
        TrayFacts facts = watching();
        c.change(facts);
        EXPECT_EQ(trayState(facts), c.state) << c.name;
        EXPECT_EQ(trayStatusLine(facts), c.line) << c.name;
    }
    TrayFacts russian = watching();
    russian.language = AppLanguage::russian;
    russian.compressedFiles = 1204;
    russian.savedBytes = 312'400'000;
    EXPECT_EQ(trayStatusLine(russian),
              "Слежу за ~/Pictures/Inbox · 1\u00A0204 файла · 312,4 МБ сэкономлено");
}

TEST(TrayStatusTest, TheLastingStateDrawsUnderAMomentaryNotice) {
    struct Case {
        TrayState state;
        QString title;
        StatusIconLook look;
    };
    const Case cases[] = {
        {TrayState::idle, {}, {false, StatusBadge::none, {}}},
        {TrayState::attention, {}, {false, StatusBadge::alert, {}}},
        {TrayState::paused, {}, {true, StatusBadge::pause, {}}},
        {TrayState::folderUnavailable, {}, {true, StatusBadge::missing, {}}},
        {TrayState::off, {}, {true, StatusBadge::none, {}}},
        {TrayState::setup, {}, {true, StatusBadge::add, {}}},
        {TrayState::working, QStringLiteral(" 37%"), {false, StatusBadge::progress, "37"}},
        {TrayState::paused, QStringLiteral(" ✓ Optimal"), {true, StatusBadge::success, {}}},
        {TrayState::idle, QStringLiteral(" ! Error"), {false, StatusBadge::alert, {}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(statusIconLook(c.state, c.title), c.look) << static_cast<int>(c.state);
    EXPECT_EQ(glyphColorFor(QColor(0x1f, 0x1f, 0x1f)).lightness(), 242) << "light on dark";
    EXPECT_LT(glyphColorFor(QColor(0xf0, 0xf0, 0xf0)).lightness(), 64) << "dark on light";
}

} // namespace
} // namespace velk
