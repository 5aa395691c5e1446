#pragma once

#include <optional>
#include <string>

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

#include "model/AppLanguage.h"

namespace velk {

class AppStore;

/// The history window: one row per processed file with its result, its saving and its
/// date, a summary line and a button that clears the list after a confirmation.
/// A thin view over the store; closing it only hides it.
class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int contentWidth = 700;
    static constexpr int contentHeight = 440;

    explicit HistoryWindow(AppStore& store, QWidget* parent = nullptr);

    void showWindow();
    /// Retitles when the language changed since the last render; then refreshes the
    /// summary, the empty state and the rows.
    void render();

    /// Reveals the row's output (or its source, when there is none) in the file manager;
    /// a row outside the history does nothing.
    void openFile(int row);
    /// Asks, as a sheet on this window, whether to clear the list; only "Clear" clears it.
    void clearHistory();

    // Reached by the widget tests, which act as the user would.
    QTableWidget& table() { return table_; }
    QLabel& summaryLabel() { return summaryLabel_; }
    QLabel& emptyLabel() { return emptyLabel_; }
    QPushButton& clearButton() { return clearButton_; }
    /// The confirmation while it is open.
    QMessageBox* confirmation() const { return confirmation_; }

private:
    void buildLayout();
    void retitle(AppLanguage language);
    void reloadRows(AppLanguage language);

    struct RowsKey {
        std::optional<AppLanguage> language;
        std::size_t count = 0;
        std::string newestID;
        bool operator==(const RowsKey&) const = default;
    };

    AppStore& store_;
    std::optional<AppLanguage> lastRenderedLanguage_;
    RowsKey renderedRows_;
    QLabel titleLabel_;
    QLabel summaryLabel_;
    QLabel emptyLabel_;
    QPushButton clearButton_;
    QTableWidget table_;
    QPointer<QMessageBox> confirmation_;
};

} // namespace velk
