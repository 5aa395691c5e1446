#pragma once

#include <memory>
#include <optional>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include "app/shell/HistoryActions.h"
#include "app/shell/StatusIcon.h"
#include "app/shell/StatusTitle.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace velk {

class AboutDialog;
class AppStore;
class HistoryWindow;
class MenuPanel;
class SettingsWindow;

/// Ends the tray program's event loop, whatever its windows would answer to a close.
void quitApplication();

/// The tray program's top: the tray icon with its title and context menu, the menu panel
/// and the two windows, and the launch decisions. Lives on the main thread for the whole
/// run; the store outlives it.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(AppStore& store, QObject* parent = nullptr);
    ~AppDelegate() override;

    /// The launch sequence: tray icon, panel, store callbacks, then either the smoke
    /// mode's quit or the decisions whether to start the engine and open the panel.
    void applicationDidFinishLaunching();

    /// Ends the event loop; the engine stops on the way out (aboutToQuit).
    void quit();
    void togglePanel();
    void showPanel();
    void closePanel();
    void openSettings();
    void openHistory();
    void openAbout();
    /// The store's restore and ignore commands, for the history and the settings. Set
    /// before the windows are first opened; without them those commands are not offered.
    void setHistoryActions(HistoryActions actions) { historyActions_ = std::move(actions); }
    /// "panel", "settings" or "history", as another launch asks for it.
    void showView(const QString& view);
    /// Refreshes the tray icon's badge and tooltip.
    void updateStatusItem();
    void showMenuBarNotice(const CompressionNotificationEvent& event);

    /// The title beside the icon as a desktop with text would show it; empty for none.
    QString statusTitle() const;
    /// The tray icon's tooltip: the program's name and the lasting state's line.
    QString toolTip() const;
    /// How the icon is drawn now, and in which colour.
    StatusIconLook iconLook() const;
    QColor glyphColor() const;
    /// Whether the tray holds the icon; without a tray the panel is an ordinary window.
    bool hasTray() const { return tray_ != nullptr; }
    MenuPanel* panel() const { return panel_.get(); }
    SettingsWindow* settingsWindow() const { return settingsWindow_.get(); }
    HistoryWindow* historyWindow() const { return historyWindow_.get(); }
    AboutDialog* aboutDialog() const { return aboutDialog_.get(); }
    QMenu* contextMenu() const { return contextMenu_.get(); }

    /// Whether the launch opens the panel by itself, once the engine had its chance to
    /// start: with no folder yet, with a watcher error, and always without a tray.
    static bool opensPanelAtLaunch(bool hasFolder, bool hasWatcherError, bool hasTray) {
        return !hasFolder || hasWatcherError || !hasTray;
    }

    /// Delay before the panel opens by itself at launch, and the smoke mode's quit.
    static constexpr int launchPanelDelayMs = 350;
    static constexpr int smokeQuitDelayMs = 200;

signals:
    /// The launch sequence has run (also in smoke mode).
    void launched();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createTray();
    void createContextMenu();
    void retitleContextMenu();
    void renderAll();
    void usePanelAsWindow();

    AppStore& store_;
    StatusTitle statusTitle_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QMenu> contextMenu_;
    QAction* compressAction_ = nullptr;
    QAction* chooseFolderAction_ = nullptr;
    QAction* openFolderAction_ = nullptr;
    QAction* historyAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* resumeAction_ = nullptr;
    std::unique_ptr<QMenu> pauseMenu_;
    std::unique_ptr<MenuPanel> panel_;
    std::unique_ptr<SettingsWindow> settingsWindow_;
    std::unique_ptr<HistoryWindow> historyWindow_;
    std::unique_ptr<AboutDialog> aboutDialog_;
    HistoryActions historyActions_;
    std::optional<StatusIconLook> shownLook_;
    QColor shownColor_;
    /// The panel's background under the tray icon, as last sampled; none before.
    std::optional<QColor> panelBackground_;
    bool statusNotifierHost_ = false;
    void samplePanelBackground();
    /// When the panel last hid: a click on the tray icon first closes the popup (a click
    /// outside it), then arrives as a toggle, which must not reopen it at once.
    QElapsedTimer panelHiddenAt_;
    std::optional<AppLanguage> menuLanguage_;
};

} // namespace velk
