#pragma once

#include <cstddef>
#include <string>

#include <QMessageBox>

#include "model/AppLanguage.h"

namespace velk {

/// A question before an action that cannot be undone: what goes, and the two answers.
struct Confirmation {
    std::string message;
    std::string informativeText;
    std::string confirmTitle;
    std::string cancelTitle;
};

Confirmation clearHistoryConfirmation(std::size_t rows, AppLanguage language);
Confirmation restoreConfirmation(const std::string& fileName, AppLanguage language);

/// A warning box for `confirmation` whose default and Escape button is Cancel, so a hasty
/// Enter loses nothing. The confirming button is kept in the "confirmButton" property.
/// Window-modal on `parent` when given, else application-modal; deletes itself on close.
QMessageBox* makeConfirmation(const Confirmation& confirmation, QWidget* parent);

} // namespace velk
