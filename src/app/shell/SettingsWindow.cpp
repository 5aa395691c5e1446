#include "app/shell/SettingsWindow.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/shell/BundleInfo.h"
#include "app/shell/PanelRows.h"
#include "core/Constants.h"
#include "store/AppStore.h"

namespace velk {

namespace {

constexpr int margin = 20;
constexpr int rowHeight = 36;

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return QString::fromStdString(text(language, russian, english));
}

QFont pixelFont(QFont font, int pixels, QFont::Weight weight = QFont::Normal) {
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

/// A rounded card holding rows, with a hairline between them.
class Card : public QWidget {
public:
    explicit Card(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(panelColors::border(palette()), 0.8));
        painter.setBrush(panelColors::card(palette()));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
        painter.setPen(QPen(panelColors::border(palette()), 0.6));
        const auto children = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* child : children) {
            if (child->isVisible() && child->geometry().bottom() < height() - 4) {
                const qreal y = child->geometry().bottom() + 1;
                painter.drawLine(QPointF(12, y), QPointF(width() - 12, y));
            }
        }
    }
};

} // namespace

SettingsWindow::SettingsWindow(AppStore& store, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store) {
    setFixedSize(contentWidth, contentHeight);
    buildLayout();
    bindActions();
    render();
}

void SettingsWindow::buildLayout() {
    contentHost_.setGeometry(0, 0, contentWidth, contentHeight);
    auto* column = new QVBoxLayout(&contentHost_);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(6);

    heading_.setFont(pixelFont(font(), 20, QFont::Bold));
    column->addWidget(&heading_);
    column->addSpacing(6);

    languagePopup_.setFont(pixelFont(font(), 12));
    for (const AppLanguage language : allAppLanguages)
        languagePopup_.addItem(qs(title(language)), qs(rawValue(language)));
    languagePopup_.setFixedWidth(120);
    trayIconPopup_.setFont(pixelFont(font(), 12));
    trayIconPopup_.setFixedWidth(120);

    for (QPushButton* button : {&changeFolderButton_, &openBackupsButton_, &clearBackupsButton_,
                                &updateButton_, &websiteButton_}) {
        button->setFont(pixelFont(font(), 12));
        button->setCursor(Qt::PointingHandCursor);
        button->setFixedHeight(26);
    }
    changeFolderButton_.setFixedWidth(96);
    openBackupsButton_.setFixedWidth(84);
    clearBackupsButton_.setFixedWidth(84);
    updateButton_.setFixedWidth(110);
    websiteButton_.setFixedWidth(96);
    for (ToggleSwitch* toggle : {&autostartSwitch_, &menuBarProgressSwitch_, &notificationsSwitch_})
        toggle->setFixedSize(toggle->sizeHint());

    column->addWidget(section(applicationTitle_, {row(autostartLabel_, {&autostartSwitch_}),
                                                  row(languageLabel_, {&languagePopup_})}));
    column->addWidget(section(menuBarTitle_, {row(progressLabel_, {&menuBarProgressSwitch_}),
                                              row(notificationsLabel_, {&notificationsSwitch_}),
                                              row(trayIconLabel_, {&trayIconPopup_})}));
    column->addWidget(
        section(filesTitle_, {row(folderLabel_, {&changeFolderButton_}),
                              row(backupsLabel_, {&openBackupsButton_, &clearBackupsButton_})}));
    column->addWidget(
        section(aboutTitle_, {row(versionLabel_, {}), row(updatesLabel_, {&updateButton_}),
                              row(websiteLabel_, {&websiteButton_})}));
    column->addStretch(1);
}

QWidget* SettingsWindow::section(QLabel& title, const std::vector<QWidget*>& rows) {
    auto* section = new QWidget(&contentHost_);
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 8, 0, 0);
    layout->setSpacing(6);
    title.setFont(pixelFont(font(), 13, QFont::DemiBold));
    title.setContentsMargins(4, 0, 0, 0);
    layout->addWidget(&title);
    auto* card = new Card(section);
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    cardLayout->setSpacing(0);
    for (QWidget* r : rows) {
        r->setParent(card);
        cardLayout->addWidget(r);
    }
    layout->addWidget(card);
    return section;
}

QWidget* SettingsWindow::row(QLabel& title, const std::vector<QWidget*>& controls) {
    auto* row = new QWidget;
    row->setFixedHeight(rowHeight);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 0, 10, 0);
    layout->setSpacing(6);
    title.setFont(pixelFont(font(), 13));
    title.setParent(row);
    layout->addWidget(&title, 1);
    for (QWidget* control : controls) {
        control->setParent(row);
        layout->addWidget(control, 0, Qt::AlignVCenter);
    }
    return row;
}

void SettingsWindow::bindActions() {
    connect(&autostartSwitch_, &QAbstractButton::clicked, this,
            [this](bool on) { store_.setAutostart(on); });
    connect(&menuBarProgressSwitch_, &QAbstractButton::clicked, this,
            [this](bool on) { store_.setShowMenuBarProgress(on); });
    connect(&notificationsSwitch_, &QAbstractButton::clicked, this,
            [this](bool on) { store_.setNotificationsEnabled(on); });
    connect(&languagePopup_, &QComboBox::activated, this, [this] {
        if (const auto language =
                appLanguageFromRaw(languagePopup_.currentData().toString().toStdString()))
            store_.setLanguage(*language);
    });
    connect(&trayIconPopup_, &QComboBox::activated, this, [this] {
        if (const auto style =
                trayIconStyleFromRaw(trayIconPopup_.currentData().toString().toStdString()))
            store_.updateConfig([style](AppConfig& config) { config.trayIcon = *style; });
    });
    connect(&changeFolderButton_, &QPushButton::clicked, this,
            [this] { store_.selectWatchDirectory(asDialogParent()); });
    connect(&openBackupsButton_, &QPushButton::clicked, this,
            [this] { store_.openBackupDirectory(); });
    connect(&clearBackupsButton_, &QPushButton::clicked, this,
            [this] { store_.clearBackups(asDialogParent()); });
    connect(&updateButton_, &QPushButton::clicked, this,
            [this] { store_.checkUpdates(asDialogParent()); });
    connect(&websiteButton_, &QPushButton::clicked, this, [this] { store_.openWebsite(); });
    // The store reports its changes through the delegate, which renders every open view;
    // rendering here as well keeps this window right when nobody else does.
    for (QAbstractButton* toggle : {static_cast<QAbstractButton*>(&autostartSwitch_),
                                    static_cast<QAbstractButton*>(&menuBarProgressSwitch_),
                                    static_cast<QAbstractButton*>(&notificationsSwitch_)})
        connect(toggle, &QAbstractButton::clicked, this, &SettingsWindow::render);
    connect(&languagePopup_, &QComboBox::activated, this, &SettingsWindow::render);
}

void SettingsWindow::retitle(AppLanguage language) {
    const QString title = tr2(language, "Настройки", "Settings");
    setWindowTitle(title);
    heading_.setText(title);
    applicationTitle_.setText(tr2(language, "Приложение", "Application"));
    menuBarTitle_.setText(tr2(language, "Трей", "Tray"));
    filesTitle_.setText(tr2(language, "Файлы", "Files"));
    aboutTitle_.setText(tr2(language, "О программе", "About"));
    autostartLabel_.setText(tr2(language, "Запускать при входе в систему", "Start at login"));
    languageLabel_.setText(tr2(language, "Язык интерфейса", "Interface language"));
    progressLabel_.setText(tr2(language, "Прогресс сжатия", "Compression progress"));
    notificationsLabel_.setText(tr2(language, "Системные уведомления", "System notifications"));
    folderLabel_.setText(tr2(language, "Папка сжатия", "Compression folder"));
    backupsLabel_.setText(tr2(language, "Бэкапы", "Backups"));
    versionLabel_.setText(qs(appName) + QLatin1Char(' ') + displayVersion());
    updatesLabel_.setText(tr2(language, "Проверить обновления", "Check updates"));
    websiteLabel_.setText(tr2(language, "Сайт Velk", "Velk website"));
    changeFolderButton_.setText(tr2(language, "Изменить", "Change"));
    openBackupsButton_.setText(tr2(language, "Открыть", "Open"));
    clearBackupsButton_.setText(tr2(language, "Очистить", "Clear"));
    websiteButton_.setText(tr2(language, "Открыть", "Open"));
    autostartSwitch_.setAccessibleName(autostartLabel_.text());
    menuBarProgressSwitch_.setAccessibleName(progressLabel_.text());
    notificationsSwitch_.setAccessibleName(notificationsLabel_.text());
    languagePopup_.setAccessibleName(languageLabel_.text());
    trayIconLabel_.setText(tr2(language, "Значок в трее", "Tray icon"));
    trayIconPopup_.setAccessibleName(trayIconLabel_.text());
    {
        const QSignalBlocker blocker(trayIconPopup_);
        trayIconPopup_.clear();
        trayIconPopup_.addItem(tr2(language, "Автоматически", "Automatic"),
                               qs(rawValue(TrayIconStyle::automatic)));
        trayIconPopup_.addItem(tr2(language, "Светлый", "Light"),
                               qs(rawValue(TrayIconStyle::light)));
        trayIconPopup_.addItem(tr2(language, "Тёмный", "Dark"), qs(rawValue(TrayIconStyle::dark)));
    }
}

void SettingsWindow::render() {
    const AppConfig& config = store_.config();
    if (lastRenderedLanguage_ != config.language) {
        retitle(config.language);
        lastRenderedLanguage_ = config.language;
    }
    autostartSwitch_.setCheckedSilently(config.autostart);
    menuBarProgressSwitch_.setCheckedSilently(config.showMenuBarProgress);
    notificationsSwitch_.setCheckedSilently(config.notificationsEnabled);
    {
        const QSignalBlocker blocker(languagePopup_);
        if (const int index = languagePopup_.findData(qs(rawValue(config.language))); index >= 0)
            languagePopup_.setCurrentIndex(index);
    }
    {
        const QSignalBlocker blocker(trayIconPopup_);
        if (const int index = trayIconPopup_.findData(qs(rawValue(config.trayIcon))); index >= 0)
            trayIconPopup_.setCurrentIndex(index);
    }
    updateButton_.setText(QString::fromStdString(store_.updateButtonTitle()));
    updateButton_.setEnabled(!store_.isUpdateBusy());
}

UserDialogs::Window SettingsWindow::asDialogParent() {
    // The dialogs cast the handle back to a QWidget: hand over exactly that pointer.
    return static_cast<QWidget*>(this);
}

void SettingsWindow::showWindow() {
    render();
    show();
    raise();
    activateWindow();
}

} // namespace velk
