#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "model/AppLanguage.h"

namespace velk {

class AppStore;

/// Who made the program, which version and build runs, under what licence, and where its
/// log is: what a person needs to write a useful report. Opened from the settings and
/// the tray's menu; closing it only hides it.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(AppStore& store, QWidget* parent = nullptr);
    /// Retitles in the configured language, then shows the dialog in front.
    void showDialog();
    void render();

    QLabel& versionLabel() { return version_; }
    QPushButton& logFolderButton() { return logFolder_; }
    QPushButton& websiteButton() { return website_; }
    QPushButton& closeButton() { return close_; }

private:
    AppStore& store_;
    QLabel icon_;
    QLabel name_;
    QLabel version_;
    QLabel licence_;
    QPushButton logFolder_;
    QPushButton website_;
    QPushButton close_;
};

} // namespace velk
