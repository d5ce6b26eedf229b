#include "InstanceLock.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// The local socket's name, from the lock's: the same folder, the same user.
QString serverName(const QString &lockPath)
{
    return QStringLiteral("UpdateQuorilexVideo-")
        + QString::fromLatin1(QCryptographicHash::hash(lockPath.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

} // namespace

InstanceLock::InstanceLock()
    : lockPath(path())
    , lock(lockPath)
{
}

QString InstanceLock::path()
{
    QString folder = QDir::current().canonicalPath();
#ifdef Q_OS_WIN
    // One folder, however its name is cased.
    folder = folder.toCaseFolded();
    // %TEMP% is the user's own.
    const auto location = QStandardPaths::TempLocation;
#else
    // Never a shared /tmp, where anyone could put something at the lock's name: the user's
    // runtime folder, else the user's cache.
    const auto location = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") ? QStandardPaths::CacheLocation
                                                                          : QStandardPaths::RuntimeLocation;
#endif
    const QString place = QStandardPaths::writableLocation(location);
    if (place.isEmpty() || !QDir().mkpath(place))
        return QString();
    const QByteArray key = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QDir(place).filePath(QStringLiteral("UpdateQuorilexVideo-%1.lock").arg(QString::fromLatin1(key)));
}

bool InstanceLock::acquire()
{
    // A lock left by a killed updater is taken over at once: QLockFile sees its process gone.
    if (lockPath.isEmpty())
        return true;
    if (lock.tryLock(0)) {
        listen();
        return true;
    }
    // Only a lock that names a live process is another updater's; a folder, a foreign or an
    // unreadable file at that name must not keep the user from updating.
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.error() != QLockFile::LockFailedError || !lock.getLockInfo(&pid, &host, &application))
        return true;
    // Wine gives a new process the small process id of one it killed: a lock that names this
    // very process was left by that one. Removing it fails while anyone still holds it.
    if (pid == QCoreApplication::applicationPid() && lock.removeStaleLockFile()) {
        if (!lock.tryLock(0))
            return lock.error() != QLockFile::LockFailedError;
        listen();
        return true;
    }
    return false;
}

void InstanceLock::listen()
{
    // Only the lock's holder gets here: a socket of that name is one a killed updater left.
    QLocalServer::removeServer(serverName(lockPath));
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            socket->deleteLater();
            emit showRequested();
        }
    });
    if (!server.listen(serverName(lockPath)))
        qWarning().noquote() << "a later updater in this folder cannot reach this one:" << server.errorString();
}

bool InstanceLock::showRunning() const
{
#ifdef Q_OS_WIN
    // The user started this one: it may hand the foreground to the running one.
    AllowSetForegroundWindow(ASFW_ANY);
#endif
    QLocalSocket socket;
    socket.connectToServer(serverName(lockPath));
    return socket.waitForConnected(2000);
}
