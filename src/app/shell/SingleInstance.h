#pragma once

#include <memory>
#include <optional>

#include <QLocalServer>
#include <QObject>
#include <QString>

#include "platform/FolderLock.h"

namespace velk {

/// One tray program per application support folder. The first launch holds a lock file
/// and listens on a local socket beside it; a later launch finds the lock held, asks the
/// holder over the socket to show its panel and ends. A socket, not a session-bus name:
/// it needs no bus, and it is keyed by the support folder, so programs with separate
/// VELK_CONFIG_DIR folders (tests, a second profile) do not take each other for the
/// running one.
///
/// Both live only in a folder no one else can enter: $XDG_RUNTIME_DIR when it is ours
/// with mode 0700, else "instance" in the support folder, made so. In a shared folder
/// (/tmp) another user could plant the lock and the socket, and every launch would hand
/// its requests to them. The lock is the kernel's (flock), so a lock file left behind
/// (by a crash, by another machine sharing the home folder) is not a running program.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        /// This process is the one; showRequested fires when another launch asks.
        primary,
        /// The running one was asked to show its panel; this process should exit 0.
        handedOff,
        /// The lock is held but nobody answers (a headless run, or a program still
        /// starting or hung): this process must not start a second engine.
        heldElsewhere,
    };

    /// `supportDirectory` names the instance; `runtimeDirectory` empty picks
    /// $XDG_RUNTIME_DIR. Either is passed over unless it is private.
    explicit SingleInstance(const QString& supportDirectory, QString runtimeDirectory = {},
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    /// `view` is what a hand-off asks the running one to show: "panel", "settings" or
    /// "history".
    Role claim(const QString& view = QStringLiteral("panel"));
    /// Empty when no private folder could be had; claim() then finds no one to hand off
    /// to and answers `primary` (the settings lock still keeps a second engine out).
    QString socketPath() const { return socketPath_; }

signals:
    /// Another launch asked for `view` ("panel", "settings" or "history").
    void showRequested(const QString& view);

private:
    bool askRunningInstance(const QString& view);

    QString socketPath_;
    std::optional<FolderLock> lock_;
    QLocalServer server_;
};

} // namespace velk
