#pragma once

#include <memory>

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

namespace velk {

/// One tray program per application support folder. The first launch holds a lock file
/// and listens on a local socket beside it in $XDG_RUNTIME_DIR (else the temporary
/// folder); a later launch finds the lock held, asks the holder over the socket to show
/// its panel and ends. A socket, not a session-bus name: it needs no bus, and it is keyed
/// by the support folder, so programs with separate VELK_CONFIG_DIR folders (tests, a
/// second profile) do not take each other for the running one.
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

    /// `supportDirectory` names the instance; `runtimeDirectory` empty picks the default.
    explicit SingleInstance(const QString& supportDirectory, QString runtimeDirectory = {},
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    /// `view` is what a hand-off asks the running one to show: "panel", "settings" or
    /// "history".
    Role claim(const QString& view = QStringLiteral("panel"));
    QString socketPath() const { return socketPath_; }

signals:
    /// Another launch asked for `view` ("panel", "settings" or "history").
    void showRequested(const QString& view);

private:
    bool askRunningInstance(const QString& view);

    QString socketPath_;
    QLockFile lock_;
    QLocalServer server_;
};

} // namespace velk
