#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

#include "app/shell/HistoryActions.h"
#include "model/AppLanguage.h"
#include "model/CompressionHistoryEntry.h"

namespace velk {

class AppStore;

/// The history window: one row per processed file with its result, its saving and its
/// date, sortable and filtered by outcome; a details line with the selected row's full
/// name, folder and reason; a menu on each row (mouse, Menu key, Enter for its first
/// command); a summary line and a button that clears the list after a confirmation.
/// A thin view over the store; closing it (Escape, Ctrl+W) only hides it.
class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 700;
    static constexpr int contentHeight = 440;

    enum class Filter { all, compressed, failed };

    explicit HistoryWindow(AppStore& store, HistoryActions actions = {}, QWidget* parent = nullptr);

    void showWindow();
    /// Retitles when the language changed since the last render; then refreshes the
    /// summary, the empty state and the rows.
    void render();

    /// Reveals the row's output (or its source, when there is none) in the file manager;
    /// a row outside the history does nothing. `row` indexes the store's history.
    void openFile(int row);
    /// Asks, as a sheet on this window, whether to clear the list; only "Clear" clears it.
    void clearHistory();
    /// The row's menu, filled for the entry at `entryIndex` (the store's history order).
    /// The caller shows it; it lives until the next call.
    QMenu& rowMenu(int entryIndex);
    /// Asks whether to put the entry's original back, then calls the store's restore.
    void restoreOriginal(int entryIndex);
    void setFilter(Filter filter);

    /// The entry shown in table row `tableRow`, after sorting; -1 for none.
    int entryAt(int tableRow) const;
    /// The entry of the current table row; -1 for none.
    int currentEntry() const;

    /// How files are revealed and opened; tests replace the desktop's with their own.
    std::function<void(const std::filesystem::path&)> reveal;
    std::function<void(const std::filesystem::path&)> open;

    // Reached by the widget tests, which act as the user would.
    QTableWidget& table() { return table_; }
    QLabel& summaryLabel() { return summaryLabel_; }
    QLabel& emptyLabel() { return emptyLabel_; }
    QLabel& detailsLabel() { return details_; }
    QComboBox& filterPopup() { return filterPopup_; }
    QPushButton& clearButton() { return clearButton_; }
    /// The confirmation (clear, restore) or the restore's answer while it is open.
    QMessageBox* confirmation() const { return confirmation_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildLayout();
    void retitle(AppLanguage language);
    void reloadRows(AppLanguage language);
    void applyFilter();
    void showDetails();
    void showRowMenu(int tableRow, QPoint globalPosition);
    void showRestoreAnswer(const HistoryActions::RestoreResult& result);
    std::string resultText(const CompressionHistoryEntry& entry, AppLanguage language) const;
    bool canRestore(const CompressionHistoryEntry& entry) const;
    const CompressionHistoryEntry* entry(int index) const;

    struct RowsKey {
        std::optional<AppLanguage> language;
        std::size_t count = 0;
        std::string newestID;
        int revision = 0;
        bool operator==(const RowsKey&) const = default;
    };

    AppStore& store_;
    HistoryActions actions_;
    std::optional<AppLanguage> lastRenderedLanguage_;
    RowsKey renderedRows_;
    /// Bumped when a restore or an ignore changes what a row says.
    int revision_ = 0;
    /// Rows whose original was put back during this run, by entry id.
    std::set<std::string> restored_;
    /// Rows whose restore was asked for and has not been answered yet.
    std::set<std::string> restoring_;
    Filter filter_ = Filter::all;
    QLabel titleLabel_;
    QLabel summaryLabel_;
    QLabel emptyLabel_;
    QLabel filterLabel_;
    QComboBox filterPopup_;
    QPushButton clearButton_;
    QTableWidget table_;
    QLabel details_;
    QMenu menu_;
    QPointer<QMessageBox> confirmation_;
};

} // namespace velk
