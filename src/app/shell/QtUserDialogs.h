#pragma once

#include <QPointer>

#include "store/UserDialogs.h"

class QFileDialog;

namespace velk {

/// The store's dialogs on Qt Widgets: QMessageBox, QFileDialog and QDesktopServices.
/// Alerts given a visible window are window-modal on it (the nearest thing to a sheet);
/// the rest are application-modal. Nothing blocks: answers arrive through completions.
class QtUserDialogs final : public UserDialogs {
public:
    void showAlert(const Alert& alert, Window window, AlertCompletion completion) override;
    void showError(const std::string& description, Window window) override;
    void chooseFolder(const std::string& title, const std::filesystem::path& start, Window window,
                      std::function<void(std::optional<std::filesystem::path>)> done) override;
    bool openFolder(const std::filesystem::path& folder) override;
    bool openURL(const std::string& url) override;
    void activate() override;
    void terminate() override;

private:
    /// The folder dialog while it is open; a second request brings it to the front.
    QPointer<QFileDialog> folderDialog_;
};

} // namespace velk
