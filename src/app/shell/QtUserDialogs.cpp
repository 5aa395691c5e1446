#include "app/shell/QtUserDialogs.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QWidget>

#include "app/shell/AppDelegate.h"
#include "core/Constants.h"
#include "core/Paths.h"

namespace velk {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

/// The window an alert attaches to, or null for an application-modal one.
QWidget* sheetParent(UserDialogs::Window window) {
    auto* widget = static_cast<QWidget*>(window);
    return widget && widget->isVisible() ? widget->window() : nullptr;
}

QMessageBox* makeBox(QMessageBox::Icon icon, const std::string& message,
                     const std::string& informativeText, UserDialogs::Window window) {
    QWidget* parent = sheetParent(window);
    // Owned by its parent window, or by itself: WA_DeleteOnClose frees it once answered.
    auto* box = new QMessageBox(icon, QString::fromUtf8(appName.data(), appName.size()),
                                qs(message), QMessageBox::NoButton, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(qs(informativeText));
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    return box;
}

} // namespace

void QtUserDialogs::showAlert(const Alert& alert, Window window, AlertCompletion completion) {
    QMessageBox* box = makeBox(alert.style == AlertStyle::warning ? QMessageBox::Warning
                                                                  : QMessageBox::Information,
                               alert.message, alert.informativeText, window);
    std::vector<QAbstractButton*> buttons;
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        // The first button acts; a second one is the way out (Escape).
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        QPushButton* button = box->addButton(qs(alert.buttons[i]), role);
        if (i == alert.defaultButton)
            box->setDefaultButton(button);
        if (i == 1)
            box->setEscapeButton(button);
        buttons.push_back(button);
    }
    QObject::connect(
        box, &QMessageBox::finished, box, [box, buttons, completion = std::move(completion)](int) {
            const auto pressed = std::find(buttons.begin(), buttons.end(), box->clickedButton());
            // Closing the box without a button counts as the last button.
            const int index = pressed == buttons.end()
                                  ? static_cast<int>(buttons.size()) - 1
                                  : static_cast<int>(pressed - buttons.begin());
            if (completion)
                completion(index);
        });
    box->open();
}

void QtUserDialogs::showError(const std::string& description, Window window) {
    QMessageBox* box = makeBox(QMessageBox::Critical, description, {}, window);
    box->setStandardButtons(QMessageBox::Ok);
    box->open();
}

void QtUserDialogs::chooseFolder(const std::string& title, const std::filesystem::path& start,
                                 Window window,
                                 std::function<void(std::optional<std::filesystem::path>)> done) {
    if (folderDialog_) {
        folderDialog_->raise();
        folderDialog_->activateWindow();
        return;
    }
    auto* dialog = new QFileDialog(sheetParent(window), qs(title));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setDirectory(QFile::decodeName(QByteArray::fromStdString(start.native())));
    dialog->setWindowFlag(Qt::WindowStaysOnTopHint, !dialog->parentWidget());
    folderDialog_ = dialog;
    QObject::connect(
        dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
            std::optional<std::filesystem::path> chosen;
            const QStringList files = dialog->selectedFiles();
            if (result == QDialog::Accepted && !files.isEmpty())
                chosen = std::filesystem::path(QFile::encodeName(files.front()).toStdString());
            done(chosen);
        });
    dialog->open();
    dialog->raise();
    dialog->activateWindow();
}

bool QtUserDialogs::openFolder(const std::filesystem::path& folder) {
    // A URL with every byte of the name percent-encoded: a folder whose name is not
    // UTF-8 still opens, where a QString path would have replaced those bytes.
    return QDesktopServices::openUrl(
        QUrl::fromEncoded(QByteArray::fromStdString(fileURL(folder, /*isDirectory=*/true))));
}

bool QtUserDialogs::openURL(const std::string& url) {
    return QDesktopServices::openUrl(QUrl(qs(url)));
}

void QtUserDialogs::activate() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible()) {
            window->raise();
            window->activateWindow();
        }
    }
}

void QtUserDialogs::terminate() {
    quitApplication();
}

} // namespace velk
