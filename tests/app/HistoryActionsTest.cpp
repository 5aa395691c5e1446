// The history's rows as things to act on: the menu and the keyboard, restore and ignore
// through the store's callbacks, sorting, the filter and the details line.

#include <QAbstractItemView>
#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>

#include "ShellFixture.h"
#include "app/shell/HistoryWindow.h"
#include "app/shell/SettingsWindow.h"

namespace velk {
namespace {

using test::ShellTest;
using Status = CompressionHistoryStatus;
namespace fs = std::filesystem;

/// The store's restore and ignore, in memory, counting their calls.
struct FakeActions {
    std::vector<fs::path> restored;
    std::vector<fs::path> ignored;
    HistoryActions::RestoreResult answer{true, ""};
    /// The answer of the last restore, held back as the engine's queue holds it.
    std::function<void()> pending;

    HistoryActions actions() {
        HistoryActions a;
        a.restore = [this](const fs::path& file,
                           std::function<void(const HistoryActions::RestoreResult&)> done) {
            restored.push_back(file);
            pending = [done, result = answer] { done(result); };
        };
        a.ignore = [this](const fs::path& file) { ignored.push_back(file); };
        a.stopIgnoring = [this](const fs::path& file) { std::erase(ignored, file); };
        a.ignoredFiles = [this] { return ignored; };
        return a;
    }
};

class HistoryActionsTest : public ShellTest {
protected:
    std::vector<CompressionHistoryEntry> rows() const {
        auto row = [this](const char* name, Status status, std::optional<std::int64_t> original,
                          std::optional<std::int64_t> output, int minutesAgo,
                          std::optional<std::string> message = {}) {
            CompressionHistoryEntry entry = test::historyRow(status, original, output, message);
            entry.sourceURL = folder_ / name;
            if (status != Status::failed)
                entry.outputURL = folder_ / name; // replaced in place
            entry.date = std::chrono::system_clock::now() - std::chrono::minutes(minutesAgo);
            return entry;
        };
        // Newest first, as the store keeps them.
        return {row("b-replaced.jpg", Status::compressed, 9000, 1000, 1),
                row("a-very-long-name-of-a-camera-upload-that-does-not-fit.jpg", Status::failed, {},
                    {}, 2, "This file is not a readable JPEG (its data looks damaged). Skipped."),
                row("c-small.png", Status::compressed, 3000, 2500, 3)};
    }

    static QAction* action(QMenu& menu, const QString& title) {
        for (QAction* a : menu.actions())
            if (a->text() == title)
                return a;
        ADD_FAILURE() << "no menu entry " << title.toStdString();
        return nullptr;
    }

    static int tableRowOf(HistoryWindow& window, int entry) {
        for (int row = 0; row < window.table().rowCount(); ++row)
            if (window.entryAt(row) == entry)
                return row;
        return -1;
    }

    static QString cell(HistoryWindow& window, int entry, int column) {
        return window.table().item(tableRowOf(window, entry), column)->text();
    }
};

TEST_F(HistoryActionsTest, MenuOffersWhatTheRowAllowsAndNothingWithoutCallbacks) {
    AppStore& store = makeStore(watching(), rows());
    FakeActions fake;
    HistoryWindow history(store, fake.actions());
    QMenu& replaced = history.rowMenu(0);
    EXPECT_EQ(replaced.defaultAction()->text(), QStringLiteral("Show in folder"));
    EXPECT_TRUE(action(replaced, QStringLiteral("Restore original…"))->isEnabled());
    EXPECT_FALSE(action(replaced, QStringLiteral("Ignore this file"))->isEnabled())
        << "only failures are ignored";
    EXPECT_FALSE(action(replaced, QStringLiteral("Open"))->isEnabled()) << "the file is not there";

    QMenu& failed = history.rowMenu(1);
    EXPECT_FALSE(action(failed, QStringLiteral("Restore original…"))->isEnabled());
    EXPECT_TRUE(action(failed, QStringLiteral("Ignore this file"))->isEnabled());
    action(failed, QStringLiteral("Copy reason"));

    HistoryWindow bare(store);
    QMenu& none = bare.rowMenu(0);
    EXPECT_FALSE(action(none, QStringLiteral("Restore original…"))->isEnabled());
    QMenu& noIgnore = bare.rowMenu(1);
    EXPECT_FALSE(action(noIgnore, QStringLiteral("Ignore this file"))->isEnabled());
}

TEST_F(HistoryActionsTest, RestoreAsksWithCancelAsDefaultThenCallsTheStoreAndTheRowSaysSo) {
    AppStore& store = makeStore(watching(), rows());
    FakeActions fake;
    HistoryWindow history(store, fake.actions());
    history.showWindow();

    action(history.rowMenu(0), QStringLiteral("Restore original…"))->trigger();
    ASSERT_NE(history.confirmation(), nullptr);
    EXPECT_EQ(history.confirmation()->defaultButton()->text(), QStringLiteral("Cancel"));
    QTest::keyClick(history.confirmation(), Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_TRUE(fake.restored.empty()) << "Enter answered Cancel";

    action(history.rowMenu(0), QStringLiteral("Restore original…"))->trigger();
    for (QAbstractButton* button : history.confirmation()->buttons())
        if (button->text() == QStringLiteral("Restore"))
            button->click();
    QTest::qWait(50);
    EXPECT_EQ(fake.restored, std::vector<fs::path>{folder_ / "b-replaced.jpg"});
    EXPECT_FALSE(action(history.rowMenu(0), QStringLiteral("Restore original…"))->isEnabled())
        << "asked twice while the engine is busy";
    EXPECT_NE(cell(history, 0, 1), QStringLiteral("Original restored"));
    fake.pending();
    EXPECT_EQ(cell(history, 0, 1), QStringLiteral("Original restored"));
    EXPECT_EQ(cell(history, 0, 2), QStringLiteral("—"));
    EXPECT_FALSE(action(history.rowMenu(0), QStringLiteral("Restore original…"))->isEnabled());

    // A refusal is told, and the row stays as it was.
    fake.answer = {false, "The backup of c-small.png is missing."};
    action(history.rowMenu(2), QStringLiteral("Restore original…"))->trigger();
    for (QAbstractButton* button : history.confirmation()->buttons())
        if (button->text() == QStringLiteral("Restore"))
            button->click();
    QTest::qWait(50);
    fake.pending();
    ASSERT_NE(history.confirmation(), nullptr);
    EXPECT_EQ(history.confirmation()->informativeText(),
              QStringLiteral("The backup of c-small.png is missing."));
    EXPECT_NE(cell(history, 2, 1), QStringLiteral("Original restored"));
}

TEST_F(HistoryActionsTest, IgnoredFilesAreListedInSettingsAndUndoneThere) {
    AppStore& store = makeStore(watching(), rows());
    FakeActions fake;
    HistoryWindow history(store, fake.actions());
    SettingsWindow settings(store, fake.actions());
    action(history.rowMenu(1), QStringLiteral("Ignore this file"))->trigger();
    ASSERT_EQ(fake.ignored.size(), 1u);
    EXPECT_TRUE(action(history.rowMenu(1), QStringLiteral("Stop ignoring")));

    settings.render();
    ASSERT_EQ(settings.ignoredList().count(), 1);
    EXPECT_TRUE(settings.ignoredList().item(0)->text().endsWith(
        QStringLiteral("a-very-long-name-of-a-camera-upload-that-does-not-fit.jpg")));
    settings.ignoredList().setCurrentRow(0);
    settings.stopIgnoringButton().click();
    EXPECT_TRUE(fake.ignored.empty());
    EXPECT_EQ(settings.ignoredList().count(), 0);

    SettingsWindow bare(store);
    bare.show();
    EXPECT_FALSE(bare.ignoredList().isVisibleTo(&bare)) << "no store support, no section";
}

TEST_F(HistoryActionsTest, ColumnsSortFilterNarrowsAndDetailsShowTheWholeReason) {
    AppStore& store = makeStore(watching(), rows());
    HistoryWindow history(store);
    history.showWindow();
    EXPECT_EQ(history.entryAt(0), 0) << "newest first at the start";

    history.table().horizontalHeader()->setSortIndicator(2, Qt::DescendingOrder);
    EXPECT_EQ(history.entryAt(0), 0) << "8 KB saved before 500 bytes, as numbers";
    EXPECT_EQ(history.entryAt(1), 2);
    history.table().horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
    EXPECT_EQ(history.entryAt(0), 1) << "by name";

    history.setFilter(HistoryWindow::Filter::failed);
    int shown = 0;
    for (int row = 0; row < history.table().rowCount(); ++row)
        shown += history.table().isRowHidden(row) ? 0 : 1;
    EXPECT_EQ(shown, 1);
    history.setFilter(HistoryWindow::Filter::all);

    history.table().selectRow(tableRowOf(history, 1));
    const QString details = history.detailsLabel().text();
    EXPECT_TRUE(details.contains(
        QStringLiteral("a-very-long-name-of-a-camera-upload-that-does-not-fit.jpg")));
    EXPECT_TRUE(details.contains(QStringLiteral("(its data looks damaged). Skipped.")));
    EXPECT_TRUE(history.detailsLabel().wordWrap());
}

TEST_F(HistoryActionsTest, EnterRevealsTheRowAndTheMenuKeyOpensItsMenu) {
    AppStore& store = makeStore(watching(), rows());
    HistoryWindow history(store);
    std::vector<fs::path> revealed;
    history.reveal = [&](const fs::path& file) { revealed.push_back(file); };
    history.showWindow();
    history.table().setFocus();
    history.table().setCurrentCell(tableRowOf(history, 2), 0);
    QTest::keyClick(&history.table(), Qt::Key_Return);
    EXPECT_EQ(revealed, std::vector<fs::path>{folder_ / "c-small.png"});

    QTest::keyClick(&history.table(), Qt::Key_Menu);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr) << "the Menu key opened the row's menu";
    EXPECT_EQ(menu->activeAction(), menu->defaultAction()) << "Enter would show it in the folder";
    menu->defaultAction()->trigger();
    menu->close();
    EXPECT_EQ(revealed.size(), 2u);
}

} // namespace
} // namespace velk
