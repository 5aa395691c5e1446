// The history's commands on one row: its menu and what the menu's entries do, and the
// confirmations that guard the irreversible ones.

#include <QApplication>
#include <QClipboard>
#include <QPushButton>

#include "app/shell/ConfirmationText.h"
#include "app/shell/HistoryCells.h"
#include "app/shell/HistoryWindow.h"
#include "core/Paths.h"
#include "store/AppStore.h"

namespace velk {

namespace {

QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return QString::fromStdString(text(language, russian, english));
}

QString pathText(const std::filesystem::path& path) {
    return QString::fromStdString(displayPath(path));
}

} // namespace

bool HistoryActions::isIgnored(const std::filesystem::path& source) const {
    if (!ignoredFiles)
        return false;
    for (const auto& file : ignoredFiles())
        if (file == source)
            return true;
    return false;
}

bool HistoryWindow::canRestore(const CompressionHistoryEntry& shown) const {
    // Only a replaced file has its original in the backups: its output took its name.
    return actions_.restore && shown.status == CompressionHistoryStatus::compressed &&
           shown.outputURL == shown.sourceURL && !restored_.contains(shown.id.toString()) &&
           !restoring_.contains(shown.id.toString());
}

QMenu& HistoryWindow::rowMenu(int entryIndex) {
    menu_.clear();
    const CompressionHistoryEntry* shown = entry(entryIndex);
    if (!shown)
        return menu_;
    const AppLanguage language = store_.config().language;
    const std::filesystem::path file = shown->outputURL.value_or(shown->sourceURL);
    menu_.setAccessibleName(QString::fromStdString(displayName(shown->sourceURL)));

    QAction* revealAction = menu_.addAction(tr2(language, "Показать в папке", "Show in folder"));
    connect(revealAction, &QAction::triggered, this, [this, file] { reveal(file); });
    // Enter does this one: the menu shows it first and bold.
    menu_.setDefaultAction(revealAction);
    QAction* openAction = menu_.addAction(tr2(language, "Открыть", "Open"));
    std::error_code error;
    openAction->setEnabled(std::filesystem::is_regular_file(file, error));
    connect(openAction, &QAction::triggered, this, [this, file] { open(file); });
    connect(menu_.addAction(tr2(language, "Копировать путь", "Copy path")), &QAction::triggered,
            this, [file] { QApplication::clipboard()->setText(pathText(file)); });
    if (shown->status == CompressionHistoryStatus::failed) {
        const QString reason = QString::fromStdString(historyCellText("result", *shown, language));
        connect(menu_.addAction(tr2(language, "Копировать причину", "Copy reason")),
                &QAction::triggered, this,
                [reason] { QApplication::clipboard()->setText(reason); });
    }
    menu_.addSeparator();
    QAction* restoreAction =
        menu_.addAction(tr2(language, "Восстановить исходник…", "Restore original…"));
    restoreAction->setEnabled(canRestore(*shown));
    connect(restoreAction, &QAction::triggered, this,
            [this, entryIndex] { restoreOriginal(entryIndex); });

    const std::filesystem::path source = shown->sourceURL;
    if (actions_.isIgnored(source)) {
        QAction* stop = menu_.addAction(tr2(language, "Не игнорировать", "Stop ignoring"));
        stop->setEnabled(static_cast<bool>(actions_.stopIgnoring));
        connect(stop, &QAction::triggered, this, [this, source] {
            actions_.stopIgnoring(source);
            ++revision_;
            render();
        });
    } else {
        QAction* ignore =
            menu_.addAction(tr2(language, "Игнорировать этот файл", "Ignore this file"));
        ignore->setEnabled(static_cast<bool>(actions_.ignore) &&
                           shown->status == CompressionHistoryStatus::failed);
        connect(ignore, &QAction::triggered, this, [this, source] {
            actions_.ignore(source);
            ++revision_;
            render();
        });
    }
    return menu_;
}

void HistoryWindow::showRowMenu(int tableRow, QPoint globalPosition) {
    QMenu& menu = rowMenu(entryAt(tableRow));
    if (menu.isEmpty())
        return;
    menu.popup(globalPosition, menu.defaultAction());
    // From the keyboard, Enter then runs the first command, as it does on the row.
    menu.setActiveAction(menu.defaultAction());
}

void HistoryWindow::restoreOriginal(int entryIndex) {
    const CompressionHistoryEntry* shown = entry(entryIndex);
    if (!shown || !canRestore(*shown) || confirmation_)
        return;
    const AppLanguage language = store_.config().language;
    const Confirmation text = restoreConfirmation(displayName(shown->sourceURL), language);
    confirmation_ = makeConfirmation(text, isVisible() ? this : nullptr);
    const std::filesystem::path source = shown->sourceURL;
    const std::string id = shown->id.toString();
    connect(confirmation_, &QMessageBox::finished, this, [this, box = confirmation_, source, id] {
        if (!box || box->clickedButton() != box->property("confirmButton").value<QObject*>())
            return;
        // Asked once: the row offers no second restore while the engine gets to it.
        restoring_.insert(id);
        actions_.restore(source, [window = QPointer<HistoryWindow>(this),
                                  id](const HistoryActions::RestoreResult& result) {
            if (!window)
                return;
            window->restoring_.erase(id);
            if (result.ok) {
                window->restored_.insert(id);
                ++window->revision_;
                window->render();
            }
            window->showRestoreAnswer(result);
        });
    });
    confirmation_->open();
}

void HistoryWindow::showRestoreAnswer(const HistoryActions::RestoreResult& result) {
    if (result.ok && result.message.empty())
        return;
    const AppLanguage language = store_.config().language;
    auto* box =
        new QMessageBox(result.ok ? QMessageBox::Information : QMessageBox::Warning, windowTitle(),
                        result.ok ? tr2(language, "Исходник восстановлен", "Original restored")
                                  : tr2(language, "Не удалось восстановить исходник",
                                        "Could not restore the original"),
                        QMessageBox::Ok, isVisible() ? this : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(QString::fromStdString(result.message));
    box->setWindowModality(isVisible() ? Qt::WindowModal : Qt::ApplicationModal);
    confirmation_ = box;
    box->open();
}

void HistoryWindow::clearHistory() {
    if (confirmation_)
        return;
    const AppLanguage language = store_.config().language;
    std::size_t rows = store_.history().size();
    confirmation_ =
        makeConfirmation(clearHistoryConfirmation(rows, language), isVisible() ? this : nullptr);
    connect(confirmation_, &QMessageBox::finished, this, [this, box = confirmation_] {
        if (!box || box->clickedButton() != box->property("confirmButton").value<QObject*>())
            return;
        store_.clearHistory();
        render();
    });
    confirmation_->open();
}

} // namespace velk
