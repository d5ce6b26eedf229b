#include "InstanceLock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>

namespace {

QString lockPath()
{
    QString folder = QDir::current().canonicalPath();
#ifdef Q_OS_WIN
    // One folder, however its name is cased.
    folder = folder.toCaseFolded();
#endif
    const QByteArray key = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
        .filePath(QStringLiteral("UpdateQuorilexVideo-%1.lock").arg(QString::fromLatin1(key)));
}

} // namespace

InstanceLock::InstanceLock()
    : lock(lockPath())
{
}

bool InstanceLock::acquire()
{
    // A lock left by a killed updater is taken over at once: QLockFile sees its process gone.
    return lock.tryLock(0) || lock.error() != QLockFile::LockFailedError;
}
