#include "PartialFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <sys/file.h>
#endif

namespace {

const QString partialSuffix = QStringLiteral(".part");

} // namespace

QString PartialFile::templateFor(const QString &packagePath)
{
    // QTemporaryFile fills in the six X with letters and digits.
    return packagePath + QStringLiteral(".XXXXXX") + partialSuffix;
}

void PartialFile::hold(QFile &file)
{
#ifdef Q_OS_WIN
    // Windows keeps others from deleting a file that is open without delete sharing, as
    // QTemporaryFile opens it.
    Q_UNUSED(file)
#else
    // Elsewhere deleting an open file always works; a lock says that somebody still writes it.
    // A file system without locks leaves the file as unprotected as it was before.
    flock(file.handle(), LOCK_EX | LOCK_NB);
#endif
}

void PartialFile::removeStale(const QString &packagePath)
{
    const QFileInfo package(packagePath);
    const QRegularExpression partial(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(package.fileName()) + QStringLiteral("\\.[A-Za-z0-9]{6}")
        + QRegularExpression::escape(partialSuffix)));
    const QDir folder = package.absoluteDir();
    for (const QString &name : folder.entryList({package.fileName() + QStringLiteral(".*") + partialSuffix},
                                                QDir::Files | QDir::Hidden | QDir::System)) {
        if (!partial.match(name).hasMatch())
            continue;
        const QString path = folder.filePath(name);
#ifndef Q_OS_WIN
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || flock(file.handle(), LOCK_EX | LOCK_NB) != 0)
            continue;
#endif
        // On Windows this fails while another updater has the file open.
        QFile::remove(path);
    }
}
