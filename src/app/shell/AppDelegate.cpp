#include "app/shell/AppDelegate.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/shell/AboutDialog.h"
#include "app/shell/HistoryWindow.h"
#include "app/shell/MenuPanel.h"
#include "app/shell/PanelStatus.h"
#include "app/shell/SettingsWindow.h"
#include "app/shell/StatusIcon.h"
#include "app/shell/TrayStatus.h"
#include "core/Constants.h"
#include "core/NativeLog.h"
#include "store/AppStore.h"

namespace velk {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return QString::fromStdString(text(language, russian, english));
}

// A click on the tray icon first closes the open popup (it is a click outside it) and
// then arrives as a toggle; within this time after the panel hid, it must not reopen.
constexpr int reopenGuardMs = 300;

} // namespace

AppDelegate::AppDelegate(AppStore& store, QObject* parent)
    : QObject(parent), store_(store),
      statusTitle_([this](std::chrono::milliseconds delay, std::function<void()> task) {
          QTimer::singleShot(delay, this, std::move(task));
      }) {
    statusTitle_.onChange = [this] { updateStatusItem(); };
}

AppDelegate::~AppDelegate() {
    // The store outlives the delegate; nothing may call back into it afterwards.
    store_.onChange = nullptr;
    store_.onNotice = nullptr;
    store_.onShowHistoryRequested = nullptr;
    store_.onFolderWatched = nullptr;
    if (qApp)
        qApp->removeEventFilter(this);
}

void AppDelegate::applicationDidFinishLaunching() {
    NativeLog::write("App launched");
    createTray();

    panel_ = std::make_unique<MenuPanel>(store_);
    panel_->installEventFilter(this);
    connect(panel_.get(), &MenuPanel::settingsRequested, this, &AppDelegate::openSettings);
    connect(panel_.get(), &MenuPanel::historyRequested, this, &AppDelegate::openHistory);
    connect(panel_.get(), &MenuPanel::quitRequested, this, &AppDelegate::quit,
            Qt::QueuedConnection);
    if (!tray_)
        usePanelAsWindow();
    panel_->render();

    // The store calls these on the main thread; the queued hop lets a burst of changes
    // finish before anything redraws, and drops the call once the delegate is gone.
    store_.onChange = [this] {
        QMetaObject::invokeMethod(
            this, [this] { renderAll(); }, Qt::QueuedConnection);
    };
    store_.onNotice = [this](const CompressionNotificationEvent& event) {
        QMetaObject::invokeMethod(
            this, [this, event] { showMenuBarNotice(event); }, Qt::QueuedConnection);
    };
    store_.onShowHistoryRequested = [this] { openHistory(); };
    // The folder dialog has just closed: show the panel that says the folder is watched.
    store_.onFolderWatched = [this] {
        QTimer::singleShot(launchPanelDelayMs, this, &AppDelegate::showPanel);
    };
    qApp->installEventFilter(this);

    if (qgetenv("VELK_LAUNCH_SMOKE") == "1") {
        NativeLog::write("Launch smoke complete");
        QTimer::singleShot(smokeQuitDelayMs, this, &AppDelegate::quit);
        emit launched();
        return;
    }

    if (store_.config().enabled && store_.config().watchDirectory)
        store_.start();
    // Without a tray the panel is the only way in, so it always opens.
    if (opensPanelAtLaunch(store_.config().watchDirectory.has_value(),
                           store_.watcherError().has_value(), tray_ != nullptr))
        QTimer::singleShot(launchPanelDelayMs, this, &AppDelegate::showPanel);
    emit launched();
}

void AppDelegate::createTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = std::make_unique<QSystemTrayIcon>();
    // A StatusNotifierItem host (KDE, GNOME's AppIndicator extension) recolours an icon
    // it gets by theme name to suit its panel, which no drawn pixmap can.
    if (QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface())
        statusNotifierHost_ =
            bus->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher")).value();
    createContextMenu();
    tray_->setContextMenu(contextMenu_.get());
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::MiddleClick)
                    togglePanel();
            });
    updateStatusItem();
    tray_->show();
    // The tray places the icon only after it is shown; then its background can be read.
    QTimer::singleShot(1000, this, [this] {
        samplePanelBackground();
        updateStatusItem();
    });
}

void AppDelegate::samplePanelBackground() {
    // Only an XEmbed tray tells where the icon sits; a StatusNotifierItem host does not,
    // and draws its own panel colour the program cannot read.
    if (!tray_ || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const QRect where = tray_->geometry();
    QScreen* screen = where.isEmpty() ? nullptr : QGuiApplication::screenAt(where.center());
    if (!screen)
        return;
    const QRect local = where.translated(-screen->geometry().topLeft());
    const QImage shot =
        screen->grabWindow(0, local.x(), local.y(), local.width(), local.height()).toImage();
    if (shot.isNull())
        return;
    // The corners: the glyph never reaches them, and the badge only the lower right.
    double lightness = 0;
    const QPoint corners[] = {{0, 0}, {shot.width() - 1, 0}, {0, shot.height() - 1}};
    for (const QPoint& corner : corners)
        lightness += shot.pixelColor(corner).lightnessF();
    panelBackground_ = QColor::fromHslF(0, 0, lightness / 3);
    NativeLog::debug("Tray background lightness " + std::to_string(lightness / 3));
}

void AppDelegate::createContextMenu() {
    contextMenu_ = std::make_unique<QMenu>();
    compressAction_ = contextMenu_->addAction(QString());
    compressAction_->setCheckable(true);
    connect(compressAction_, &QAction::triggered, this, [this] {
        if (store_.config().enabled)
            store_.stop();
        else
            store_.start();
    });
    pauseMenu_ = std::make_unique<QMenu>();
    contextMenu_->addMenu(pauseMenu_.get());
    resumeAction_ = contextMenu_->addAction(QString());
    connect(resumeAction_, &QAction::triggered, this, [this] { store_.resume(); });
    chooseFolderAction_ = contextMenu_->addAction(QString());
    connect(chooseFolderAction_, &QAction::triggered, this, [this] {
        closePanel();
        store_.selectWatchDirectory();
    });
    openFolderAction_ = contextMenu_->addAction(QString());
    connect(openFolderAction_, &QAction::triggered, this, [this] { store_.openWatchDirectory(); });
    contextMenu_->addSeparator();
    historyAction_ = contextMenu_->addAction(QString());
    connect(historyAction_, &QAction::triggered, this, &AppDelegate::openHistory);
    settingsAction_ = contextMenu_->addAction(QString());
    connect(settingsAction_, &QAction::triggered, this, &AppDelegate::openSettings);
    aboutAction_ = contextMenu_->addAction(QString());
    connect(aboutAction_, &QAction::triggered, this, &AppDelegate::openAbout);
    contextMenu_->addSeparator();
    quitAction_ = contextMenu_->addAction(QString());
    connect(quitAction_, &QAction::triggered, this, &AppDelegate::quit, Qt::QueuedConnection);
    // The switch may have changed without a store change reaching us (a failed start).
    connect(contextMenu_.get(), &QMenu::aboutToShow, this, [this] { retitleContextMenu(); });
    retitleContextMenu();
}

void AppDelegate::retitleContextMenu() {
    if (!contextMenu_)
        return;
    const AppLanguage language = store_.config().language;
    compressAction_->setChecked(store_.config().enabled);
    const bool paused = store_.isPaused();
    pauseMenu_->menuAction()->setVisible(store_.config().enabled && !paused);
    resumeAction_->setVisible(paused);
    if (menuLanguage_ == language)
        return;
    menuLanguage_ = language;
    PanelStatus::fillPauseMenu(*pauseMenu_, store_);
    pauseMenu_->setTitle(tr2(language, "Пауза", "Pause"));
    resumeAction_->setText(tr2(language, "Продолжить сжатие", "Resume compressing"));
    compressAction_->setText(tr2(language, "Сжимать автоматически", "Compress automatically"));
    chooseFolderAction_->setText(tr2(language, "Выбрать папку…", "Choose folder…"));
    openFolderAction_->setText(tr2(language, "Открыть папку сжатия", "Open compression folder"));
    historyAction_->setText(tr2(language, "История сжатий", "Compression history"));
    settingsAction_->setText(tr2(language, "Настройки", "Settings"));
    aboutAction_->setText(tr2(language, "О программе", "About"));
    quitAction_->setText(tr2(language, "Выйти из Velk | Compressor", "Quit Velk | Compressor"));
}

void AppDelegate::usePanelAsWindow() {
    NativeLog::write("No system tray; the panel opens as a window");
    panel_->setWindowFlags(Qt::Window);
    panel_->setWindowTitle(qs(appName));
    const AppLanguage language = store_.config().language;
    // Said once per run, beside the panel's first appearance: the user otherwise wonders
    // why a tray program opened a window.
    QTimer::singleShot(launchPanelDelayMs, this, [this, language] {
        auto* box =
            new QMessageBox(QMessageBox::Information, qs(appName),
                            tr2(language, "Значок в трее недоступен", "No tray icon available"),
                            QMessageBox::Ok, panel_.get());
        box->setInformativeText(
            tr2(language,
                "Рабочий стол не показывает значки приложений в трее, поэтому меню Velk | "
                "Compressor открыто как окно. В GNOME включите расширение AppIndicator, чтобы "
                "значок появился на панели.",
                "This desktop shows no tray icons, so the Velk | Compressor menu opens as a "
                "window. On GNOME, turn on the AppIndicator extension to get the icon in the top "
                "bar."));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    });
}

void AppDelegate::quit() {
    quitApplication();
}

void quitApplication() {
    // Not QCoreApplication::quit(): that first asks every window to close, and the panel
    // answers a close while it shows by fading out instead, which cancels the quit.
    QCoreApplication::exit(0);
}

void AppDelegate::togglePanel() {
    if (!panel_)
        return;
    if (panel_->isVisible()) {
        closePanel();
        return;
    }
    if (panelHiddenAt_.isValid() && panelHiddenAt_.elapsed() < reopenGuardMs)
        return;
    showPanel();
}

void AppDelegate::showPanel() {
    if (!panel_ || panel_->isShowing())
        return;
    // Failures were shown to the person; the icon may stop asking for attention.
    store_.acknowledgeFailures();
    panel_->render();
    panel_->showNear(tray_ ? tray_->geometry() : QRect());
}

void AppDelegate::closePanel() {
    if (panel_)
        panel_->closePanel();
}

void AppDelegate::openSettings() {
    closePanel();
    if (!settingsWindow_) {
        settingsWindow_ = std::make_unique<SettingsWindow>(store_, historyActions_);
        connect(settingsWindow_.get(), &SettingsWindow::aboutRequested, this,
                &AppDelegate::openAbout);
    }
    settingsWindow_->showWindow();
}

void AppDelegate::openHistory() {
    closePanel();
    if (!historyWindow_)
        historyWindow_ = std::make_unique<HistoryWindow>(store_, historyActions_);
    store_.acknowledgeFailures();
    historyWindow_->showWindow();
}

void AppDelegate::openAbout() {
    closePanel();
    if (!aboutDialog_)
        aboutDialog_ = std::make_unique<AboutDialog>(store_);
    aboutDialog_->showDialog();
}

void AppDelegate::showView(const QString& view) {
    if (view == u"settings")
        openSettings();
    else if (view == u"history")
        openHistory();
    else
        showPanel();
}

void AppDelegate::renderAll() {
    updateStatusItem();
    retitleContextMenu();
    if (panel_)
        panel_->render();
    if (settingsWindow_)
        settingsWindow_->render();
    if (historyWindow_)
        historyWindow_->render();
    if (aboutDialog_)
        aboutDialog_->render();
}

QString AppDelegate::statusTitle() const {
    return QString::fromStdString(
        statusTitle_.title(store_.stats(), store_.config().showMenuBarProgress));
}

QString AppDelegate::toolTip() const {
    const std::string line = trayStatusLine(TrayFacts::of(store_));
    return line.empty() ? qs(appName)
                        : qs(appName) + QLatin1Char('\n') + QString::fromStdString(line);
}

StatusIconLook AppDelegate::iconLook() const {
    return statusIconLook(trayState(TrayFacts::of(store_)), statusTitle());
}

QColor AppDelegate::glyphColor() const {
    switch (store_.config().trayIcon) {
    case TrayIconStyle::light:
        return glyphColorFor(Qt::black);
    case TrayIconStyle::dark:
        return glyphColorFor(Qt::white);
    case TrayIconStyle::automatic:
        break;
    }
    // Unread, the panel is taken as dark: GNOME's top bar, Xfce's and Cinnamon's default
    // panels are, whatever the application theme says, and a light glyph is the one
    // that stays visible on the common mid-grey panels too.
    return glyphColorFor(panelBackground_.value_or(QColor(0x1f, 0x1f, 0x1f)));
}

void AppDelegate::updateStatusItem() {
    if (!tray_)
        return;
    const StatusIconLook look = iconLook();
    const QColor color = glyphColor();
    // Redrawing seven sizes on every progress report would be wasted: only a new look or
    // colour changes the image.
    if (shownLook_ != look || shownColor_ != color) {
        static const QString themeName = QStringLiteral("velk-compressor-symbolic");
        const bool plain = look.badge == StatusBadge::none && !look.dimmed;
        tray_->setIcon(statusNotifierHost_ && plain && QIcon::hasThemeIcon(themeName)
                           ? QIcon::fromTheme(themeName)
                           : statusIcon(look, color));
        shownLook_ = look;
        shownColor_ = color;
    }
    tray_->setToolTip(toolTip());
}

void AppDelegate::showMenuBarNotice(const CompressionNotificationEvent& event) {
    statusTitle_.showNotice(event, store_.config().language);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (panel_ && watched == panel_.get() && event->type() == QEvent::Hide)
        panelHiddenAt_.start();
    if (!tray_ && panel_ && watched == panel_.get() && event->type() == QEvent::Close) {
        // Without a tray nothing could bring a hidden window back: closing it quits,
        // and the engine stops on the way out as it does for Quit.
        NativeLog::write("Window closed without a tray; quitting");
        quit();
        return true;
    }
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        // A theme change may come with a new panel colour.
        samplePanelBackground();
        updateStatusItem();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace velk
