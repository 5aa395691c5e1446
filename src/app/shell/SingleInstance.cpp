#include "app/shell/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include "core/NativeLog.h"

namespace velk {

namespace {

constexpr QByteArrayView showRequest = "show ";
constexpr QByteArrayView acknowledgement = "ok\n";
// A program that holds the lock answers at once from its event loop; one still launching
// gets a little longer before this launch gives up on it.
constexpr int answerTimeoutMs = 3000;

QString defaultRuntimeDirectory() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

QString instanceName(const QString& supportDirectory) {
    const QByteArray digest = QCryptographicHash::hash(
        QFile::encodeName(QDir::cleanPath(QDir(supportDirectory).absolutePath())),
        QCryptographicHash::Sha256);
    return QStringLiteral("velk-compressor-") + QString::fromLatin1(digest.toHex().left(16));
}

} // namespace

SingleInstance::SingleInstance(const QString& supportDirectory, QString runtimeDirectory,
                               QObject* parent)
    : QObject(parent),
      socketPath_(QDir(runtimeDirectory.isEmpty() ? defaultRuntimeDirectory() : runtimeDirectory)
                      .filePath(instanceName(supportDirectory))),
      lock_(socketPath_ + QStringLiteral(".lock")) {
    // A lock whose holder died is taken over at once; a live holder keeps it for its life.
    lock_.setStaleLockTime(0);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                const QByteArray line = socket->readLine(256).trimmed();
                const QString view = QString::fromUtf8(line.mid(showRequest.size()));
                if (line.startsWith(showRequest.toByteArray()) &&
                    (view == u"panel" || view == u"settings" || view == u"history")) {
                    socket->write(acknowledgement.data(), acknowledgement.size());
                    socket->flush();
                    NativeLog::write("Second launch asked to show " + view.toStdString());
                    emit showRequested(view);
                }
                socket->disconnectFromServer();
            });
        }
    });
}

SingleInstance::~SingleInstance() {
    server_.close();
}

SingleInstance::Role SingleInstance::claim(const QString& view) {
    if (!lock_.tryLock(0)) {
        if (askRunningInstance(view))
            return Role::handedOff;
        return Role::heldElsewhere;
    }
    // The lock is ours, so a socket file left by a crashed holder is stale.
    QLocalServer::removeServer(socketPath_);
    if (!server_.listen(socketPath_))
        NativeLog::write("Single instance socket failed " + server_.errorString().toStdString());
    return Role::primary;
}

bool SingleInstance::askRunningInstance(const QString& view) {
    QLocalSocket socket;
    // The holder takes the lock a moment before it listens.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(answerTimeoutMs))
            break;
        if (waited.elapsed() >= answerTimeoutMs)
            return false;
        QThread::msleep(50);
    }
    socket.write(showRequest.toByteArray() + view.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(answerTimeoutMs))
            return false;
    }
    return socket.readLine() == acknowledgement.toByteArray();
}

} // namespace velk
