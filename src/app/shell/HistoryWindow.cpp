#include "app/shell/HistoryWindow.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

#include "app/shell/HistoryCells.h"
#include "app/shell/PanelRows.h"
#include "core/Paths.h"
#include "store/AppStore.h"

namespace velk {

namespace {

constexpr int fileColumn = 0;

QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return QString::fromStdString(text(language, russian, english));
}

QFont pixelFont(QFont font, qreal pixels, QFont::Weight weight = QFont::Normal) {
    font.setPixelSize(qRound(pixels));
    font.setWeight(weight);
    return font;
}

/// File names lose their middle when cut (the extension stays readable), the rest their end.
class ElidingDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = index.column() == fileColumn ? Qt::ElideMiddle : Qt::ElideRight;
    }
};

/// Shows `file` selected in the desktop's file manager, or opens its folder when no file
/// manager answers the freedesktop call.
void revealInFileManager(const std::filesystem::path& file, QObject* context) {
    const QString url = QString::fromStdString(fileURL(file));
    const QUrl folder = QUrl::fromEncoded(
        QByteArray::fromStdString(fileURL(file.parent_path(), /*isDirectory=*/true)));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{url} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [folder](QDBusPendingCallWatcher* finished) {
                         if (finished->isError())
                             QDesktopServices::openUrl(folder);
                         finished->deleteLater();
                     });
}

} // namespace

HistoryWindow::HistoryWindow(AppStore& store, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store) {
    resize(contentWidth, contentHeight);
    setMinimumSize(600, 320);
    buildLayout();
    render();
}

void HistoryWindow::buildLayout() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 18, 20, 20);
    column->setSpacing(10);

    auto* header = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    titleLabel_.setFont(pixelFont(font(), 20, QFont::Bold));
    titles->addWidget(&titleLabel_);
    summaryLabel_.setFont(pixelFont(font(), 12));
    QPalette subtle = summaryLabel_.palette();
    subtle.setColor(QPalette::WindowText, panelColors::secondaryText(palette()));
    summaryLabel_.setPalette(subtle);
    titles->addWidget(&summaryLabel_);
    header->addLayout(titles, 1);
    clearButton_.setFont(pixelFont(font(), 12));
    clearButton_.setCursor(Qt::PointingHandCursor);
    clearButton_.setMinimumHeight(28);
    header->addWidget(&clearButton_, 0, Qt::AlignBottom);
    column->addLayout(header);

    table_.setColumnCount(static_cast<int>(historyColumns.size()));
    table_.setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_.setSelectionBehavior(QAbstractItemView::SelectRows);
    table_.setSelectionMode(QAbstractItemView::SingleSelection);
    table_.setWordWrap(false);
    table_.setShowGrid(false);
    table_.setAlternatingRowColors(true);
    table_.setItemDelegate(new ElidingDelegate(&table_));
    table_.verticalHeader()->hide();
    table_.verticalHeader()->setDefaultSectionSize(26);
    table_.horizontalHeader()->setStretchLastSection(true);
    table_.horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    table_.horizontalHeader()->setHighlightSections(false);
    for (std::size_t i = 0; i < historyColumns.size(); ++i)
        table_.setColumnWidth(static_cast<int>(i), historyColumns[i].width);
    column->addWidget(&table_, 1);

    emptyLabel_.setAlignment(Qt::AlignCenter);
    emptyLabel_.setWordWrap(true);
    emptyLabel_.setFont(pixelFont(font(), 13));
    emptyLabel_.setPalette(subtle);
    emptyLabel_.setContentsMargins(60, 0, 60, 40);
    column->addWidget(&emptyLabel_, 1);

    connect(&table_, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { openFile(row); });
    connect(&clearButton_, &QPushButton::clicked, this, &HistoryWindow::clearHistory);
}

void HistoryWindow::retitle(AppLanguage language) {
    const QString title = tr2(language, "История сжатий", "Compression history");
    setWindowTitle(title);
    titleLabel_.setText(title);
    clearButton_.setText(tr2(language, "Очистить историю", "Clear history"));
    emptyLabel_.setText(tr2(language,
                            "История пока пуста. Добавьте изображение в выбранную папку — "
                            "результат появится здесь.",
                            "History is empty. Add an image to the selected folder and its "
                            "result will appear here."));
    QStringList headers;
    for (const HistoryColumn& column : historyColumns)
        headers << QString::fromStdString(text(language, column.russianTitle, column.englishTitle));
    table_.setHorizontalHeaderLabels(headers);
}

void HistoryWindow::render() {
    const AppLanguage language = store_.config().language;
    if (lastRenderedLanguage_ != language) {
        retitle(language);
        lastRenderedLanguage_ = language;
    }
    const auto& entries = store_.history();
    summaryLabel_.setText(QString::fromStdString(historySummary(entries, language)));
    const bool hasEntries = !entries.empty();
    clearButton_.setEnabled(hasEntries);
    emptyLabel_.setVisible(!hasEntries);
    table_.setVisible(hasEntries);
    // Renders come several times a second during a batch; rebuild the rows only when the
    // list or its language changed (rows are only ever added in front, or all cleared).
    const RowsKey key{language, entries.size(),
                      entries.empty() ? std::string() : entries.front().id.toString()};
    if (key != renderedRows_) {
        renderedRows_ = key;
        reloadRows(language);
    }
}

void HistoryWindow::reloadRows(AppLanguage language) {
    const auto& entries = store_.history();
    table_.setRowCount(static_cast<int>(entries.size()));
    const QColor errorColor(0xd7, 0x26, 0x2b);
    for (std::size_t row = 0; row < entries.size(); ++row) {
        for (std::size_t column = 0; column < historyColumns.size(); ++column) {
            const std::string_view id = historyColumns[column].identifier;
            const QString cell =
                QString::fromStdString(historyCellText(id, entries[row], language));
            auto item = std::make_unique<QTableWidgetItem>(cell);
            item->setToolTip(cell);
            item->setFont(pixelFont(font(), 12));
            if (historyCellIsError(id, entries[row]))
                item->setForeground(errorColor);
            table_.setItem(static_cast<int>(row), static_cast<int>(column), item.release());
        }
    }
}

void HistoryWindow::openFile(int row) {
    const auto& entries = store_.history();
    if (row < 0 || static_cast<std::size_t>(row) >= entries.size())
        return;
    const CompressionHistoryEntry& entry = entries[static_cast<std::size_t>(row)];
    revealInFileManager(entry.outputURL.value_or(entry.sourceURL), this);
}

void HistoryWindow::clearHistory() {
    if (confirmation_)
        return;
    const AppLanguage language = store_.config().language;
    // A sheet: modal to this window only, so the panel and the settings stay usable.
    confirmation_ =
        new QMessageBox(QMessageBox::Warning, tr2(language, "Очистить историю?", "Clear history?"),
                        tr2(language, "Очистить историю?", "Clear history?"), QMessageBox::NoButton,
                        isVisible() ? this : nullptr);
    confirmation_->setAttribute(Qt::WA_DeleteOnClose);
    confirmation_->setInformativeText(
        tr2(language, "Файлы и бэкапы останутся на месте. Будет удалён только список операций.",
            "Files and backups will stay in place. Only the activity list will be removed."));
    QPushButton* clear =
        confirmation_->addButton(tr2(language, "Очистить", "Clear"), QMessageBox::AcceptRole);
    confirmation_->addButton(tr2(language, "Отмена", "Cancel"), QMessageBox::RejectRole);
    confirmation_->setDefaultButton(clear);
    confirmation_->setWindowModality(isVisible() ? Qt::WindowModal : Qt::ApplicationModal);
    connect(confirmation_, &QMessageBox::buttonClicked, this, [this, clear](QAbstractButton* b) {
        if (b != clear)
            return;
        store_.clearHistory();
        render();
    });
    confirmation_->open();
}

void HistoryWindow::showWindow() {
    render();
    show();
    raise();
    activateWindow();
}

} // namespace velk
