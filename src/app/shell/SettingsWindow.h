#pragma once

#include <optional>
#include <vector>

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>

#include "app/shell/HistoryActions.h"
#include "app/shell/ToggleSwitch.h"
#include "model/AppLanguage.h"
#include "store/UserDialogs.h"

namespace velk {

class AppStore;

/// The settings window: launch at login and the language, the tray's progress and
/// notifications, the folder and backup commands, the version and the update check.
/// The files the user chose to have ignored, with a way to take each back, when the
/// store offers that. A thin view over the store; closing it (Escape, Ctrl+W) only hides
/// it. Its size follows the desktop's font.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 360;

    explicit SettingsWindow(AppStore& store, HistoryActions actions = {},
                            QWidget* parent = nullptr);

    /// Renders, then shows the window in front and gives it the focus.
    void showWindow();
    /// Retitles everything when the language changed since the last render, then sets
    /// every control from the store.
    void render();

    // Reached by the widget tests, which act as the user would.
    ToggleSwitch& autostartSwitch() { return autostartSwitch_; }
    ToggleSwitch& menuBarProgressSwitch() { return menuBarProgressSwitch_; }
    ToggleSwitch& notificationsSwitch() { return notificationsSwitch_; }
    QComboBox& languagePopup() { return languagePopup_; }
    QComboBox& trayIconPopup() { return trayIconPopup_; }
    QPushButton& updateButton() { return updateButton_; }
    QLabel& headingLabel() { return heading_; }
    QLabel& folderPathLabel() { return folderPath_; }
    QListWidget& ignoredList() { return ignoredList_; }
    QPushButton& stopIgnoringButton() { return stopIgnoringButton_; }
    QPushButton& aboutButton() { return aboutButton_; }

signals:
    void aboutRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildLayout();
    void bindActions();
    void retitle(AppLanguage language);
    UserDialogs::Window asDialogParent();
    QWidget* section(QLabel& title, const std::vector<QWidget*>& rows);
    QWidget* row(QLabel& title, const std::vector<QWidget*>& controls, QLabel* detail = nullptr);
    void renderIgnoredFiles();

    AppStore& store_;
    HistoryActions actions_;
    std::optional<AppLanguage> lastRenderedLanguage_;
    QWidget contentHost_{this};
    QLabel heading_;
    QLabel applicationTitle_, menuBarTitle_, filesTitle_, aboutTitle_;
    QLabel autostartLabel_, languageLabel_, progressLabel_, notificationsLabel_, trayIconLabel_;
    QLabel folderLabel_, backupsLabel_, versionLabel_, updatesLabel_, websiteLabel_;
    QLabel folderPath_;
    QLabel ignoredTitle_, ignoredEmpty_;
    QWidget* ignoredSection_ = nullptr;
    QListWidget ignoredList_;
    QPushButton stopIgnoringButton_;
    QPushButton aboutButton_;
    ToggleSwitch autostartSwitch_;
    ToggleSwitch menuBarProgressSwitch_;
    ToggleSwitch notificationsSwitch_;
    QComboBox languagePopup_;
    QComboBox trayIconPopup_;
    QPushButton changeFolderButton_;
    QPushButton openBackupsButton_;
    QPushButton clearBackupsButton_;
    QPushButton updateButton_;
    QPushButton websiteButton_;
};

} // namespace velk
