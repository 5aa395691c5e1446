#include "app/shell/StatusTitle.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

using Event = CompressionNotificationEvent;

TEST(StatusTitleTest, NoticeTitlesNameTheProblemInTheConfiguredLanguage) {
    struct Case {
        Event event;
        AppLanguage language;
        std::string expected;
    };
    const Case cases[] = {
        {Event(Event::UnsupportedFile{"/in/movie.mov"}), AppLanguage::russian, " ! MOV"},
        {Event(Event::UnsupportedFile{"/in/Scan.Tiff"}), AppLanguage::english, " ! TIFF"},
        {Event(Event::UnsupportedFile{"/in/README"}), AppLanguage::english, " ! FILE"},
        {Event(Event::UnsupportedFile{"/in/x.b\xffz"}), AppLanguage::english, " ! B\uFFFDZ"},
        {Event(Event::ProcessingFailed{"/in/a.png", "broken"}), AppLanguage::russian, " ! Ошибка"},
        {Event(Event::ProcessingFailed{"/in/a.png", "broken"}), AppLanguage::english, " ! Error"},
        {Event(Event::WatcherFailed{"gone"}), AppLanguage::russian, " ! Папка"},
        {Event(Event::WatcherFailed{"gone"}), AppLanguage::english, " ! Folder"},
        {Event(Event::AlreadyOptimal{"/in/a.png"}), AppLanguage::russian, " ✓ Оптимально"},
        {Event(Event::AlreadyOptimal{"/in/a.png"}), AppLanguage::english, " ✓ Optimal"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(menuBarNoticeTitle(c.event, c.language), c.expected);
}

class StatusTitleTimingTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    test::ScopedEnv logDir_{"VELK_LOG_DIR", dir_.path().native()};
    /// The scheduled expiries, run when the test says the 4 seconds have passed.
    std::vector<std::function<void()>> expiries_;
    StatusTitle title_{[this](std::chrono::milliseconds delay, std::function<void()> task) {
        EXPECT_EQ(delay, std::chrono::seconds(4));
        expiries_.push_back(std::move(task));
    }};
    int changes_ = 0;
    void SetUp() override {
        title_.onChange = [this] { ++changes_; };
    }
};

TEST_F(StatusTitleTimingTest, NewerNoticeReplacesOlderAndOnlyItsOwnExpiryClearsIt) {
    const CompressionStats idle;
    title_.showNotice(Event(Event::UnsupportedFile{"/in/a.gif"}), AppLanguage::english);
    title_.showNotice(Event(Event::AlreadyOptimal{"/in/b.png"}), AppLanguage::english);
    EXPECT_EQ(title_.title(idle, true), " ✓ Optimal");

    expiries_[0]();
    EXPECT_EQ(title_.title(idle, true), " ✓ Optimal") << "the first notice's timer is stale";
    expiries_[1]();
    EXPECT_EQ(title_.title(idle, true), "");
    EXPECT_EQ(changes_, 3);
    EXPECT_NE(test::readFile(dir_ / "native.log").find("Menu bar notice shown: ! GIF\n"),
              std::string::npos);
}

TEST_F(StatusTitleTimingTest, ProgressComesFirstWhileFilesAreActiveAndShown) {
    title_.showNotice(Event(Event::ProcessingFailed{"/in/a.png", "x"}), AppLanguage::english);
    CompressionStats busy;
    busy.active = 1;
    busy.progress = 37;
    EXPECT_EQ(title_.title(busy, true), " 37%");
    EXPECT_EQ(title_.title(busy, false), " ! Error") << "progress display switched off";
    busy.progress.reset();
    EXPECT_EQ(title_.title(busy, true), " 0%");
    EXPECT_EQ(title_.title(CompressionStats{}, true), " ! Error") << "batch over, notice back";
    expiries_.back()();
    EXPECT_EQ(title_.title(busy, true), " 0%");
    EXPECT_EQ(title_.title(CompressionStats{}, true), "");
}

} // namespace
} // namespace velk
