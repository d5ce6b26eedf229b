#include "PartialFile.h"

#include "Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
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
    // Regular files only: a link leads anywhere, and opening a FIFO or a device that anyone
    // can put in a shared folder blocks.
    for (const QString &name : folder.entryList({package.fileName() + QStringLiteral(".*") + partialSuffix},
                                                QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        if (!partial.match(name).hasMatch())
            continue;
        const QString path = folder.filePath(name);
#ifndef Q_OS_WIN
        // The name may have been swapped for something else since it was listed: opened
        // without following or blocking, and judged by what was opened.
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat status;
        const bool stale = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (stale && QFile::remove(path))
            qCInfo(lcDownload).noquote() << "removed a partial package left behind:" << path;
        ::close(fd);
#else
        // This fails while another updater has the file open.
        if (QFile::remove(path))
            qCInfo(lcDownload).noquote() << "removed a partial package left behind:" << path;
#endif
    }
}
