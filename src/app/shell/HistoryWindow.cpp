#include "app/shell/HistoryWindow.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

#include "app/shell/HistoryCells.h"
#include "app/shell/Legibility.h"
#include "app/shell/PanelRows.h"
#include "core/Paths.h"
#include "store/AppStore.h"
#include "store/HomePath.h"

namespace velk {

namespace {

constexpr int fileColumn = 0;
/// Where the first cell of a row keeps its entry's index in the store's history.
constexpr int entryRole = Qt::UserRole + 1;
constexpr int sortRole = Qt::UserRole + 2;

QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return QString::fromStdString(text(language, russian, english));
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

/// Sorts by a key of its own: sizes and dates as numbers, names without case.
class SortableItem : public QTableWidgetItem {
public:
    using QTableWidgetItem::QTableWidgetItem;
    bool operator<(const QTableWidgetItem& other) const override {
        const QVariant mine = data(sortRole);
        const QVariant theirs = other.data(sortRole);
        if (mine.typeId() == QMetaType::QString)
            return mine.toString().compare(theirs.toString(), Qt::CaseInsensitive) < 0;
        return mine.toDouble() < theirs.toDouble();
    }
};

QVariant sortKey(std::string_view column, const CompressionHistoryEntry& entry,
                 const QString& shown) {
    if (column == "saved")
        return static_cast<double>(entry.status == CompressionHistoryStatus::compressed
                                       ? entry.savedBytes().value_or(-1)
                                       : -1);
    if (column == "date")
        return static_cast<double>(entry.date.time_since_epoch().count());
    if (column == "result")
        // Failures together, then by what the row says.
        return QString::number(static_cast<int>(entry.status)) + shown;
    return shown;
}

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

HistoryWindow::HistoryWindow(AppStore& store, HistoryActions actions, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store), actions_(std::move(actions)) {
    reveal = [this](const std::filesystem::path& file) { revealInFileManager(file, this); };
    open = [](const std::filesystem::path& file) {
        QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(fileURL(file))));
    };
    resize(contentWidth, contentHeight);
    setMinimumSize(600, 320);
    buildLayout();
    render();
}

void HistoryWindow::buildLayout() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 18, 20, 20);
    column->setSpacing(10);

    // The title on a line of its own: with a large font it would otherwise be squeezed
    // by the controls beside it.
    titleLabel_.setFont(relativeFont(font(), 1.5, QFont::Bold));
    column->addWidget(&titleLabel_);
    auto* header = new QHBoxLayout;
    QPalette subtle = summaryLabel_.palette();
    subtle.setColor(QPalette::WindowText, panelColors::secondaryText(palette()));
    summaryLabel_.setPalette(subtle);
    summaryLabel_.setWordWrap(true);
    header->addWidget(&summaryLabel_, 1);
    filterLabel_.setBuddy(&filterPopup_);
    header->addWidget(&filterLabel_);
    header->addWidget(&filterPopup_);
    header->addSpacing(8);
    clearButton_.setCursor(Qt::PointingHandCursor);
    header->addWidget(&clearButton_);
    column->addLayout(header);

    table_.setColumnCount(static_cast<int>(historyColumns.size()));
    table_.setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_.setSelectionBehavior(QAbstractItemView::SelectRows);
    table_.setSelectionMode(QAbstractItemView::SingleSelection);
    table_.setWordWrap(false);
    table_.setShowGrid(false);
    table_.setAlternatingRowColors(true);
    table_.setItemDelegate(new ElidingDelegate(&table_));
    table_.setContextMenuPolicy(Qt::CustomContextMenu);
    table_.verticalHeader()->hide();
    // Rows as tall as the font needs, so a large system font is not clipped.
    table_.verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 10);
    table_.horizontalHeader()->setStretchLastSection(true);
    table_.horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    table_.horizontalHeader()->setHighlightSections(false);
    table_.horizontalHeader()->setSortIndicatorShown(true);
    // The widths were chosen for a 10 pt font; a larger one widens the columns with it.
    const qreal widen = std::max(1.0, fontMetrics().height() / 16.0);
    int tableWidth = 0;
    for (std::size_t i = 0; i < historyColumns.size(); ++i) {
        const int width = qRound(historyColumns[i].width * widen);
        table_.setColumnWidth(static_cast<int>(i), width);
        tableWidth += width;
    }
    resize(std::max(width(), tableWidth + 60), std::max(height(), qRound(contentHeight * widen)));
    table_.setSortingEnabled(true);
    table_.sortByColumn(static_cast<int>(historyColumns.size()) - 1, Qt::DescendingOrder);
    table_.installEventFilter(this);
    column->addWidget(&table_, 1);

    details_.setWordWrap(true);
    details_.setTextFormat(Qt::PlainText);
    details_.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    details_.setFocusPolicy(Qt::ClickFocus);
    details_.setMinimumHeight(3 * fontMetrics().lineSpacing() + 8);
    details_.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->addWidget(&details_);

    emptyLabel_.setAlignment(Qt::AlignCenter);
    emptyLabel_.setWordWrap(true);
    emptyLabel_.setPalette(subtle);
    emptyLabel_.setContentsMargins(60, 0, 60, 40);
    column->addWidget(&emptyLabel_, 1);

    connect(&table_, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { openFile(entryAt(row)); });
    connect(&table_, &QTableWidget::itemSelectionChanged, this, &HistoryWindow::showDetails);
    connect(&table_, &QTableWidget::customContextMenuRequested, this, [this](QPoint position) {
        const int row = table_.rowAt(position.y());
        if (row >= 0) {
            table_.selectRow(row);
            showRowMenu(row, table_.viewport()->mapToGlobal(position));
        }
    });
    connect(&filterPopup_, &QComboBox::activated, this,
            [this] { setFilter(static_cast<Filter>(filterPopup_.currentData().toInt())); });
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
    filterLabel_.setText(tr2(language, "Показать:", "Show:"));
    filterPopup_.setAccessibleName(tr2(language, "Показать", "Show"));
    table_.setAccessibleName(title);
    details_.setAccessibleName(tr2(language, "Подробности", "Details"));
    {
        const QSignalBlocker blocker(filterPopup_);
        filterPopup_.clear();
        filterPopup_.addItem(tr2(language, "Все", "All"), static_cast<int>(Filter::all));
        filterPopup_.addItem(tr2(language, "Сжатые", "Compressed"),
                             static_cast<int>(Filter::compressed));
        filterPopup_.addItem(tr2(language, "Ошибки", "Failed"), static_cast<int>(Filter::failed));
        filterPopup_.setCurrentIndex(filterPopup_.findData(static_cast<int>(filter_)));
    }
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
    details_.setVisible(hasEntries);
    // Renders come several times a second during a batch; rebuild the rows only when the
    // list or its language changed (rows are only ever added in front, or all cleared).
    const RowsKey key{language, entries.size(),
                      entries.empty() ? std::string() : entries.front().id.toString(), revision_};
    if (key != renderedRows_) {
        renderedRows_ = key;
        reloadRows(language);
    }
}

std::string HistoryWindow::resultText(const CompressionHistoryEntry& entry,
                                      AppLanguage language) const {
    if (restored_.contains(entry.id.toString()))
        return text(language, "Исходник восстановлен", "Original restored");
    return historyCellText("result", entry, language);
}

void HistoryWindow::reloadRows(AppLanguage language) {
    const auto& entries = store_.history();
    const int selected = currentEntry();
    // Sorting while rows are put in would move them under our hands.
    table_.setSortingEnabled(false);
    table_.clearContents();
    table_.setRowCount(static_cast<int>(entries.size()));
    const QColor errorColor = errorTextColor(palette());
    const QFont cellFont = relativeFont(font(), 0.92);
    for (std::size_t row = 0; row < entries.size(); ++row) {
        const CompressionHistoryEntry& entry = entries[row];
        for (std::size_t column = 0; column < historyColumns.size(); ++column) {
            const std::string_view id = historyColumns[column].identifier;
            const bool restored = restored_.contains(entry.id.toString());
            QString cell =
                QString::fromStdString(id == "result" ? resultText(entry, language)
                                                      : historyCellText(id, entry, language));
            // A restored file holds its original again: nothing is saved any more.
            if (id == "saved" && restored)
                cell = QStringLiteral("—");
            auto item = std::make_unique<SortableItem>(cell);
            item->setToolTip(cell);
            item->setFont(cellFont);
            item->setData(sortRole, sortKey(id, entry, cell));
            if (column == 0)
                item->setData(entryRole, static_cast<int>(row));
            if (historyCellIsError(id, entry) && !restored_.contains(entry.id.toString()))
                item->setForeground(errorColor);
            table_.setItem(static_cast<int>(row), static_cast<int>(column), item.release());
        }
    }
    table_.setSortingEnabled(true);
    applyFilter();
    for (int row = 0; row < table_.rowCount(); ++row)
        if (entryAt(row) == selected && selected >= 0)
            table_.selectRow(row);
    showDetails();
}

void HistoryWindow::setFilter(Filter filter) {
    filter_ = filter;
    if (const int index = filterPopup_.findData(static_cast<int>(filter)); index >= 0)
        filterPopup_.setCurrentIndex(index);
    applyFilter();
}

void HistoryWindow::applyFilter() {
    for (int row = 0; row < table_.rowCount(); ++row) {
        const CompressionHistoryEntry* shown = entry(entryAt(row));
        bool visible = shown != nullptr;
        if (shown && filter_ == Filter::compressed)
            visible = shown->status == CompressionHistoryStatus::compressed;
        if (shown && filter_ == Filter::failed)
            visible = shown->status == CompressionHistoryStatus::failed;
        table_.setRowHidden(row, !visible);
    }
}

int HistoryWindow::entryAt(int tableRow) const {
    const QTableWidgetItem* first = table_.item(tableRow, 0);
    return first ? first->data(entryRole).toInt() : -1;
}

int HistoryWindow::currentEntry() const {
    const auto rows = table_.selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : entryAt(rows.front().row());
}

const CompressionHistoryEntry* HistoryWindow::entry(int index) const {
    const auto& entries = store_.history();
    if (index < 0 || static_cast<std::size_t>(index) >= entries.size())
        return nullptr;
    return &entries[static_cast<std::size_t>(index)];
}

void HistoryWindow::showDetails() {
    const CompressionHistoryEntry* shown = entry(currentEntry());
    const AppLanguage language = store_.config().language;
    if (!shown) {
        details_.setText(tr2(language, "Выберите строку, чтобы увидеть подробности.",
                             "Select a row to see its details."));
        return;
    }
    QStringList lines;
    lines << QString::fromStdString(displayName(shown->sourceURL));
    lines << QString::fromStdString(homeRelativePath(shown->sourceURL.parent_path()));
    QString result = QString::fromStdString(resultText(*shown, language));
    if (shown->status == CompressionHistoryStatus::compressed && shown->savedBytes())
        result += QStringLiteral(" · ") + tr2(language, "экономия ", "saved ") +
                  QString::fromStdString(historyCellText("saved", *shown, language));
    lines << result + QStringLiteral(" · ") +
                 QString::fromStdString(historyDateText(shown->date, language));
    if (actions_.ignoredFiles && actions_.isIgnored(shown->sourceURL))
        lines << tr2(language, "Этот файл игнорируется, пока не изменится.",
                     "This file is ignored until it changes.");
    details_.setText(lines.join(QLatin1Char('\n')));
}

void HistoryWindow::openFile(int row) {
    if (const CompressionHistoryEntry* shown = entry(row))
        reveal(shown->outputURL.value_or(shown->sourceURL));
}

bool HistoryWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &table_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const int row = table_.currentRow();
        const bool menuKey = key->key() == Qt::Key_Menu ||
                             (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
        if (row >= 0 && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            openFile(entryAt(row));
            return true;
        }
        if (row >= 0 && menuKey) {
            const QRect cell = table_.visualItemRect(table_.item(row, 0));
            showRowMenu(row, table_.viewport()->mapToGlobal(cell.bottomLeft()));
            return true;
        }
    }
    if (watched == &table_ && event->type() == QEvent::ContextMenu)
        // The Menu key already opened it above; the toolkit's own echo of it is dropped.
        return static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
    return QWidget::eventFilter(watched, event);
}

void HistoryWindow::keyPressEvent(QKeyEvent* event) {
    // Escape and Ctrl+W close, as in any desktop window; the keys reach here from
    // every child that has no use for them.
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Close) ||
        (event->key() == Qt::Key_W && event->modifiers() == Qt::ControlModifier)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HistoryWindow::showWindow() {
    render();
    show();
    raise();
    activateWindow();
    table_.setFocus();
}

} // namespace velk
