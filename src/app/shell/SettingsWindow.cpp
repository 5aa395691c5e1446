#include "app/shell/SettingsWindow.h"

#include <QFile>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

#include "app/shell/BundleInfo.h"
#include "app/shell/Legibility.h"
#include "app/shell/PanelRows.h"
#include "core/Constants.h"
#include "core/Paths.h"
#include "store/AppStore.h"
#include "store/HomePath.h"

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

/// Drawn for a 13 px (10 pt) application font; follows the desktop's size in proportion.
QFont scaledFont(const QFont& font, int designPixels, QFont::Weight weight = QFont::Normal) {
    return relativeFont(font, designPixels / 13.0, weight);
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

SettingsWindow::SettingsWindow(AppStore& store, HistoryActions actions, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store), actions_(std::move(actions)) {
    buildLayout();
    bindActions();
    render();
}

void SettingsWindow::buildLayout() {
    // The window takes the content's size, which grows with the desktop's font.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    outer->addWidget(&contentHost_);
    contentHost_.setMinimumWidth(contentWidth);
    auto* column = new QVBoxLayout(&contentHost_);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(6);

    heading_.setFont(scaledFont(font(), 20, QFont::Bold));
    column->addWidget(&heading_);
    column->addSpacing(6);

    languagePopup_.setFont(scaledFont(font(), 12));
    for (const AppLanguage language : allAppLanguages)
        languagePopup_.addItem(qs(title(language)), qs(rawValue(language)));
    languagePopup_.setMinimumWidth(120);
    trayIconPopup_.setFont(scaledFont(font(), 12));
    trayIconPopup_.setMinimumWidth(120);

    for (QPushButton* button :
         {&changeFolderButton_, &openBackupsButton_, &clearBackupsButton_, &updateButton_,
          &websiteButton_, &stopIgnoringButton_, &aboutButton_}) {
        button->setFont(scaledFont(font(), 12));
        button->setCursor(Qt::PointingHandCursor);
        button->setMinimumWidth(84);
    }
    for (ToggleSwitch* toggle : {&autostartSwitch_, &menuBarProgressSwitch_, &notificationsSwitch_})
        toggle->setFixedSize(toggle->sizeHint());

    column->addWidget(section(applicationTitle_, {row(autostartLabel_, {&autostartSwitch_}),
                                                  row(languageLabel_, {&languagePopup_})}));
    column->addWidget(section(menuBarTitle_, {row(progressLabel_, {&menuBarProgressSwitch_}),
                                              row(notificationsLabel_, {&notificationsSwitch_}),
                                              row(trayIconLabel_, {&trayIconPopup_})}));
    folderPath_.setWordWrap(true);
    folderPath_.setTextInteractionFlags(Qt::TextSelectableByMouse);
    folderPath_.setFont(scaledFont(font(), 11));
    QPalette subtle = folderPath_.palette();
    subtle.setColor(QPalette::WindowText, panelColors::secondaryText(palette()));
    folderPath_.setPalette(subtle);
    column->addWidget(
        section(filesTitle_, {row(folderLabel_, {&changeFolderButton_}, &folderPath_),
                              row(backupsLabel_, {&openBackupsButton_, &clearBackupsButton_})}));

    ignoredList_.setFont(scaledFont(font(), 12));
    ignoredList_.setFixedHeight(4 * ignoredList_.fontMetrics().lineSpacing() + 12);
    // Long paths lose their middle (the file name stays) rather than scroll sideways.
    ignoredList_.setTextElideMode(Qt::ElideMiddle);
    ignoredList_.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ignoredEmpty_.setFont(scaledFont(font(), 12));
    ignoredEmpty_.setPalette(subtle);
    ignoredEmpty_.setWordWrap(true);
    auto* ignoredBody = new QWidget;
    auto* ignoredLayout = new QVBoxLayout(ignoredBody);
    ignoredLayout->setContentsMargins(12, 8, 10, 8);
    ignoredLayout->addWidget(&ignoredEmpty_);
    ignoredLayout->addWidget(&ignoredList_);
    ignoredLayout->addWidget(&stopIgnoringButton_, 0, Qt::AlignRight);
    ignoredSection_ = section(ignoredTitle_, {ignoredBody});
    column->addWidget(ignoredSection_);

    column->addWidget(section(aboutTitle_, {row(versionLabel_, {&aboutButton_}),
                                            row(updatesLabel_, {&updateButton_}),
                                            row(websiteLabel_, {&websiteButton_})}));
    column->addStretch(1);
}

QWidget* SettingsWindow::section(QLabel& title, const std::vector<QWidget*>& rows) {
    auto* section = new QWidget(&contentHost_);
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 8, 0, 0);
    layout->setSpacing(6);
    title.setFont(scaledFont(font(), 13, QFont::DemiBold));
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

QWidget* SettingsWindow::row(QLabel& title, const std::vector<QWidget*>& controls, QLabel* detail) {
    auto* row = new QWidget;
    row->setMinimumHeight(std::max(rowHeight, title.fontMetrics().lineSpacing() + 16));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 6, 10, 6);
    layout->setSpacing(6);
    title.setFont(scaledFont(font(), 13));
    if (detail) {
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(&title);
        texts->addWidget(detail);
        layout->addLayout(texts, 1);
    } else {
        layout->addWidget(&title, 1);
    }
    for (QWidget* control : controls) {
        control->setParent(row);
        layout->addWidget(control, 0, Qt::AlignVCenter);
    }
    // A switch or a list is announced with its row's title; buttons have names of their own.
    if (!controls.empty() && !qobject_cast<QPushButton*>(controls.front()))
        title.setBuddy(controls.front());
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
    connect(&aboutButton_, &QPushButton::clicked, this, &SettingsWindow::aboutRequested);
    connect(&ignoredList_, &QListWidget::itemSelectionChanged, this,
            [this] { stopIgnoringButton_.setEnabled(!ignoredList_.selectedItems().isEmpty()); });
    connect(&stopIgnoringButton_, &QPushButton::clicked, this, [this] {
        for (QListWidgetItem* item : ignoredList_.selectedItems())
            actions_.stopIgnoring(std::filesystem::path(
                QFile::encodeName(item->data(Qt::UserRole).toString()).toStdString()));
        renderIgnoredFiles();
    });
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
    aboutButton_.setText(tr2(language, "Подробнее…", "About…"));
    ignoredTitle_.setText(tr2(language, "Игнорируемые файлы", "Ignored files"));
    ignoredEmpty_.setText(tr2(language, "Нет. Файл можно игнорировать из меню строки в истории.",
                              "None. A file can be ignored from its row's menu in the history."));
    stopIgnoringButton_.setText(tr2(language, "Не игнорировать", "Stop ignoring"));
    ignoredList_.setAccessibleName(ignoredTitle_.text());
    // Two buttons say "Open": the names tell them apart for a screen reader.
    changeFolderButton_.setAccessibleName(
        tr2(language, "Изменить папку сжатия", "Change compression folder"));
    openBackupsButton_.setAccessibleName(tr2(language, "Открыть бэкапы", "Open backups"));
    clearBackupsButton_.setAccessibleName(tr2(language, "Очистить бэкапы", "Clear backups"));
    websiteButton_.setAccessibleName(tr2(language, "Открыть сайт Velk", "Open Velk website"));
    aboutButton_.setAccessibleName(
        tr2(language, "О программе Velk | Compressor", "About Velk | Compressor"));
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
    updateButton_.setAccessibleName(updatesLabel_.text() + QStringLiteral(": ") +
                                    updateButton_.text());
    updateButton_.setEnabled(!store_.isUpdateBusy());
    const auto& folder = config.watchDirectory;
    folderPath_.setText(folder ? qs(homeRelativePath(*folder))
                               : tr2(config.language, "Не выбрана", "Not chosen"));
    changeFolderButton_.setAccessibleDescription(folderPath_.text());
    renderIgnoredFiles();
}

void SettingsWindow::renderIgnoredFiles() {
    ignoredSection_->setVisible(static_cast<bool>(actions_.ignoredFiles));
    if (!actions_.ignoredFiles)
        return;
    std::vector<std::filesystem::path> files = actions_.ignoredFiles();
    std::sort(files.begin(), files.end());
    QStringList shown;
    for (const auto& file : files)
        shown << QFile::decodeName(QByteArray::fromStdString(file.native()));
    QStringList listed;
    for (int i = 0; i < ignoredList_.count(); ++i)
        listed << ignoredList_.item(i)->data(Qt::UserRole).toString();
    if (shown != listed) {
        ignoredList_.clear();
        for (std::size_t i = 0; i < files.size(); ++i) {
            auto item = std::make_unique<QListWidgetItem>(qs(homeRelativePath(files[i])));
            item->setData(Qt::UserRole, shown[static_cast<int>(i)]);
            item->setToolTip(item->text());
            ignoredList_.addItem(item.release());
        }
    }
    ignoredList_.setVisible(!files.empty());
    ignoredEmpty_.setVisible(files.empty());
    stopIgnoringButton_.setVisible(!files.empty() && actions_.stopIgnoring);
    stopIgnoringButton_.setEnabled(!ignoredList_.selectedItems().isEmpty());
}

void SettingsWindow::keyPressEvent(QKeyEvent* event) {
    // Escape and Ctrl+W close, as in any desktop window; the keys reach here from
    // every child that has no use for them.
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Close) ||
        (event->key() == Qt::Key_W && event->modifiers() == Qt::ControlModifier)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
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
