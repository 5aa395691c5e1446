#include "app/shell/SingleInstance.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include "core/NativeLog.h"

namespace velk {

namespace {

constexpr QByteArrayView showRequest = "show ";
constexpr QByteArrayView acknowledgement = "ok\n";
// A program that holds the lock answers at once from its event loop; one still launching
// gets a little longer before this launch gives up on it.
constexpr int answerTimeoutMs = 3000;

bool isPrivateFolder(const QByteArray& path) {
    struct stat info {};
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

/// "instance" in the support folder, made if missing and closed to others if it was
/// open; empty when it is not a folder of ours (a link, another user's).
QString ownRendezvousFolder(const QString& supportDirectory) {
    const QByteArray support = QFile::encodeName(supportDirectory);
    const QByteArray folder = support + "/instance";
    std::error_code ignored; // a support folder that cannot be made fails the open below
    std::filesystem::create_directories(support.toStdString(), ignored);
    ::mkdir(folder.constData(), 0700);
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat info {};
    const bool ours = ::fstat(fd, &info) == 0 && info.st_uid == ::getuid() &&
                      ((info.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    ::close(fd);
    return ours ? QFile::decodeName(folder) : QString();
}

QString rendezvousFolder(const QString& supportDirectory, QString runtimeDirectory) {
    if (runtimeDirectory.isEmpty())
        runtimeDirectory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtimeDirectory) &&
        isPrivateFolder(QFile::encodeName(runtimeDirectory)))
        return runtimeDirectory;
    const QString own = ownRendezvousFolder(supportDirectory);
    if (own.isEmpty())
        NativeLog::write("Single instance has no private folder; support=" +
                         supportDirectory.toStdString());
    return own;
}

/// Whether the program at the other end of the socket runs as this user.
bool peerIsThisUser(const QLocalSocket& socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                        &size) == 0 &&
           peer.uid == ::getuid();
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
    : QObject(parent) {
    if (const QString folder = rendezvousFolder(supportDirectory, std::move(runtimeDirectory));
        !folder.isEmpty())
        socketPath_ = QDir(folder).filePath(instanceName(supportDirectory));
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
    if (socketPath_.isEmpty())
        return Role::primary;
    try {
        lock_ = FolderLock::lockFile(
            QFile::encodeName(socketPath_ + QStringLiteral(".lock")).toStdString());
    } catch (const FolderLockError& error) {
        if (error.kind() == FolderLockError::Kind::held && !error.holderEnding())
            return askRunningInstance(view) ? Role::handedOff : Role::heldElsewhere;
        // The settings lock, taken next, still keeps a second engine out.
        NativeLog::write(std::string("Single instance lock failed: ") + error.what());
        return Role::primary;
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
    if (!peerIsThisUser(socket)) {
        NativeLog::write("Single instance socket answered by another user");
        return false;
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
