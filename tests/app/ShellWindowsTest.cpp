#include "app/shell/HistoryWindow.h"
#include "app/shell/MenuPanel.h"
#include "app/shell/SettingsWindow.h"

#include <QHeaderView>
#include <QMessageBox>

#include "ShellFixture.h"

namespace velk {
namespace {

using test::historyRow;
using test::ShellTest;
using Status = CompressionHistoryStatus;

class ShellWindowsTest : public ShellTest {
protected:
    static QStringList headers(QTableWidget& table) {
        QStringList titles;
        for (int i = 0; i < table.columnCount(); ++i)
            titles << table.horizontalHeaderItem(i)->text();
        return titles;
    }

    /// Answers the open confirmation with the button titled `title`.
    static void answer(HistoryWindow& window, const QString& title) {
        QMessageBox* box = window.confirmation();
        ASSERT_NE(box, nullptr);
        for (QAbstractButton* button : box->buttons())
            if (button->text() == title) {
                button->click();
                return;
            }
        FAIL() << "no button " << title.toStdString();
    }
};

TEST_F(ShellWindowsTest, LanguageSwitchRetitlesBothWindowsAndThePanelAtTheNextRender) {
    AppStore& store =
        makeStore(watching(AppLanguage::russian), {historyRow(Status::compressed, 10, 5)});
    SettingsWindow settings(store);
    HistoryWindow history(store);
    MenuPanel panel(store);
    EXPECT_EQ(settings.windowTitle(), QStringLiteral("Настройки"));
    EXPECT_EQ(history.windowTitle(), QStringLiteral("История сжатий"));
    EXPECT_EQ(headers(history.table()), (QStringList{"Файл", "Результат", "Экономия", "Дата"}));

    // The choice the user makes in the settings window reaches every view.
    const int english = settings.languagePopup().findData(QStringLiteral("english"));
    settings.languagePopup().setCurrentIndex(english);
    emit settings.languagePopup().activated(english);
    EXPECT_EQ(store.config().language, AppLanguage::english);
    history.render();
    panel.render();

    EXPECT_EQ(settings.windowTitle(), QStringLiteral("Settings"));
    EXPECT_EQ(settings.headingLabel().text(), QStringLiteral("Settings"));
    EXPECT_EQ(history.windowTitle(), QStringLiteral("Compression history"));
    EXPECT_EQ(history.clearButton().text(), QStringLiteral("Clear history"));
    EXPECT_EQ(headers(history.table()), (QStringList{"File", "Result", "Saved", "Date"}));
    EXPECT_EQ(history.table().item(0, 1)->text(), QStringLiteral("10 bytes → 5 bytes"));
    EXPECT_EQ(panel.switchRow().titleText(), QStringLiteral("Compress automatically"));
}

TEST_F(ShellWindowsTest, SettingsSwitchesSaveTheirChoice) {
    AppStore& store = makeStore(watching());
    SettingsWindow settings(store);
    EXPECT_TRUE(settings.notificationsSwitch().isChecked());

    settings.autostartSwitch().click();
    settings.menuBarProgressSwitch().click();
    settings.notificationsSwitch().click();

    const AppConfig saved = loadAppConfig(store.configURL());
    EXPECT_TRUE(saved.autostart);
    EXPECT_TRUE(saved.autostartAsked);
    EXPECT_FALSE(saved.showMenuBarProgress);
    EXPECT_FALSE(saved.notificationsEnabled);
    EXPECT_TRUE(loginItem_.isEnabled());
}

TEST_F(ShellWindowsTest, UpdateButtonIsDisabledAndTitledWhileTheUpdaterIsBusy) {
    AppStore& store = makeStore(watching());
    SettingsWindow settings(store);
    struct Case {
        AppUpdaterState state;
        const char* title;
        bool enabled;
    };
    const Case cases[] = {
        {AppUpdaterState::checking, "Checking…", false},
        {AppUpdaterState::downloading, "Downloading…", false},
        {AppUpdaterState::installing, "Restarting…", false},
        {AppUpdaterState::failed, "Check", true},
        {AppUpdaterState::idle, "Check", true},
    };
    for (const Case& c : cases) {
        updater_->change(c.state);
        settings.render();
        EXPECT_EQ(settings.updateButton().text(), QString::fromUtf8(c.title));
        EXPECT_EQ(settings.updateButton().isEnabled(), c.enabled);
    }
}

TEST_F(ShellWindowsTest, HistoryShowsRowsSummaryAndEmptyState) {
    AppStore& store = makeStore(watching(), {historyRow(Status::failed, {}, {}, "Broken file"),
                                             historyRow(Status::compressed, 4000, {})});
    HistoryWindow history(store);
    // Both rows are one file's: every row is listed, the file is counted once.
    EXPECT_EQ(history.summaryLabel().text(), QStringLiteral("Operations: 1 · Saved: 0 bytes"));
    EXPECT_EQ(history.table().rowCount(), 2);
    EXPECT_TRUE(history.emptyLabel().isHidden());
    EXPECT_TRUE(history.clearButton().isEnabled());
    QTableWidgetItem* failed = history.table().item(0, 1);
    EXPECT_EQ(failed->text(), QStringLiteral("Broken file"));
    EXPECT_EQ(failed->toolTip(), failed->text());
    EXPECT_NE(failed->foreground().color(), history.table().item(1, 1)->foreground().color());
    history.openFile(2); // below the last row: nothing happens
    history.openFile(-1);

    store.clearHistory();
    history.render();
    EXPECT_EQ(history.table().rowCount(), 0);
    EXPECT_TRUE(history.table().isHidden());
    EXPECT_FALSE(history.emptyLabel().isHidden());
    EXPECT_FALSE(history.clearButton().isEnabled());
    EXPECT_EQ(history.summaryLabel().text(),
              QStringLiteral("Processed files and errors will appear here."));
}

TEST_F(ShellWindowsTest, ClearingHistoryAsksFirstAndOnlyClearRemovesTheList) {
    AppStore& store = makeStore(watching(), {historyRow(Status::compressed, 10, 5)});
    HistoryWindow history(store);
    history.showWindow();

    history.clearButton().click();
    ASSERT_NE(history.confirmation(), nullptr);
    EXPECT_EQ(history.confirmation()->text(), QStringLiteral("Clear history?"));
    answer(history, QStringLiteral("Cancel"));
    EXPECT_EQ(store.history().size(), 1u);

    history.clearButton().click();
    answer(history, QStringLiteral("Clear"));
    EXPECT_TRUE(store.history().empty());
    EXPECT_EQ(history.table().rowCount(), 0);
    EXPECT_EQ(CompressionHistory::load(store.historyURL()).entries().size(), 0u);
}

} // namespace
} // namespace velk
