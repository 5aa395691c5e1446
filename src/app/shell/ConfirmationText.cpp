#include "app/shell/ConfirmationText.h"

#include <QPushButton>

#include "core/ByteCountText.h"
#include "core/Constants.h"

namespace velk {

Confirmation clearHistoryConfirmation(std::size_t rows, AppLanguage language) {
    const auto n = static_cast<std::int64_t>(rows);
    // "Из 21 операции", but "из 25 операций": the genitive after "из".
    const std::string russianRows =
        std::to_string(n) + (n % 10 == 1 && n % 100 != 11 ? " операции" : " операций");
    return {text(language, "Очистить историю?", "Clear history?"),
            text(language,
                 "Будет удалён список из " + russianRows + ". Файлы и бэкапы останутся на месте.",
                 "The list of " + countText(n, language, "", "", "", "operation", "operations") +
                     " will be removed. Files and backups will stay in place."),
            text(language, "Очистить", "Clear"), text(language, "Отмена", "Cancel")};
}

Confirmation restoreConfirmation(const std::string& fileName, AppLanguage language) {
    return {text(language, "Восстановить исходник «" + fileName + "»?",
                 "Restore the original of “" + fileName + "”?"),
            text(language,
                 "Сжатый файл будет заменён исходником из бэкапа, сжатая версия будет удалена.",
                 "The compressed file is replaced by the original from the backup; the "
                 "compressed version is deleted."),
            text(language, "Восстановить", "Restore"), text(language, "Отмена", "Cancel")};
}

QMessageBox* makeConfirmation(const Confirmation& confirmation, QWidget* parent) {
    auto* box = new QMessageBox(
        QMessageBox::Warning, QString::fromUtf8(appName.data(), static_cast<int>(appName.size())),
        QString::fromStdString(confirmation.message), QMessageBox::NoButton, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(QString::fromStdString(confirmation.informativeText));
    QPushButton* confirm = box->addButton(QString::fromStdString(confirmation.confirmTitle),
                                          QMessageBox::DestructiveRole);
    QPushButton* cancel =
        box->addButton(QString::fromStdString(confirmation.cancelTitle), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setProperty("confirmButton", QVariant::fromValue<QObject*>(confirm));
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    return box;
}

} // namespace velk
