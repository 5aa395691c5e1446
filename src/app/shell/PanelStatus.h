#pragma once

#include <optional>

#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>

#include "core/DateTime.h"
#include "model/AppLanguage.h"

namespace velk {

class AppStore;

/// The lines under the panel's switch: the batch under way ("3 of 6 · holiday.jpg", a
/// bar and Stop), a pause with its end and Resume, a missing folder, or, once a batch
/// has ended, its summary ("12 files · 8.3 MB saved · 2 failed") that opens the history.
/// Also the pause choices, shared with the tray's context menu.
class PanelStatus : public QWidget {
    Q_OBJECT
public:
    PanelStatus(AppStore& store, QWidget* parent = nullptr);
    void render();

    QLabel& line() { return line_; }
    QProgressBar& bar() { return bar_; }
    /// Stop while a batch runs, Resume while paused.
    QPushButton& actionButton() { return action_; }
    QToolButton& pauseButton() { return pause_; }
    QPushButton& summaryButton() { return summary_; }
    QMenu& pauseMenu() { return pauseMenu_; }
    /// "Start at login?" with Yes and Not now, asked once after a folder is chosen.
    QWidget& autostartOffer() { return autostartOffer_; }
    QPushButton& autostartYes() { return autostartYes_; }
    QPushButton& autostartNo() { return autostartNo_; }

    /// The three pauses offered: for an hour, until tomorrow (00:00 local), until resumed.
    static std::optional<Date> pauseEnd(int choice, Date now);
    /// Fills `menu` with the three pause choices acting on `store`.
    static void fillPauseMenu(QMenu& menu, AppStore& store);

signals:
    void historyRequested();

private:
    AppStore& store_;
    QLabel line_{this};
    QProgressBar bar_{this};
    QPushButton action_{this};
    QToolButton pause_{this};
    QMenu pauseMenu_;
    QPushButton summary_{this};
    QWidget autostartOffer_{this};
    QLabel autostartQuestion_{&autostartOffer_};
    QPushButton autostartYes_{&autostartOffer_};
    QPushButton autostartNo_{&autostartOffer_};
    std::optional<AppLanguage> menuLanguage_;
};

} // namespace velk
