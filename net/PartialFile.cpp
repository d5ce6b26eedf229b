#include "PartialFile.h"

#include "Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString partialSuffix = QStringLiteral(".part");

const QString stateSuffix = QStringLiteral(".state");

// The partial files of the package at `packagePath` and the states beside them, "<package>.<six
// letters or digits>.part" and ".state"; regular files only: a link leads anywhere, and
// opening a FIFO or a device that anyone can put in a shared folder blocks.
QStringList ownFiles(const QString &packagePath)
{
    const QFileInfo package(packagePath);
    const QRegularExpression own(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(package.fileName()) + QStringLiteral("\\.[A-Za-z0-9]{6}\\.(part|state)")));
    const QDir folder = package.absoluteDir();
    QStringList paths;
    for (const QString &name : folder.entryList({package.fileName() + QStringLiteral(".*")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        if (own.match(name).hasMatch())
            paths << folder.filePath(name);
    return paths;
}

#ifndef Q_OS_WIN
// A partial file opened and locked, or -1 when it is not a regular file or somebody holds it.
// The name may have been swapped for something else since it was listed: it is opened
// without following or blocking, and judged by what was opened.
int openUnheld(const QString &path, int access)
{
    const int fd = ::open(QFile::encodeName(path).constData(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    ::close(fd);
    return -1;
}
#endif

} // namespace

QString PartialFile::templateFor(const QString &packagePath)
{
    // QTemporaryFile fills in the six X with letters and digits.
    return packagePath + QStringLiteral(".XXXXXX") + partialSuffix;
}

void PartialFile::hold(QFile &file)
{
#ifdef Q_OS_WIN
    // Windows keeps others from deleting or renaming a file that is open without delete
    // sharing, as Qt opens every file.
    Q_UNUSED(file)
#else
    // Elsewhere deleting an open file always works; a lock says that somebody still writes it.
    // A file system without locks leaves the file as unprotected as it was before.
    flock(file.handle(), LOCK_EX | LOCK_NB);
#endif
}

bool PartialFile::sync(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
#else
    return fsync(file.handle()) == 0;
#endif
}

void PartialFile::sweep(const QString &packagePath, const Keep &keep)
{
    for (const QString &path : ownFiles(packagePath)) {
        if (path.endsWith(stateSuffix)) {
            // A state whose partial file is gone; one beside a partial file goes with it.
            if (!QFile::exists(path.chopped(stateSuffix.size()) + partialSuffix) && QFile::remove(path))
                qCInfo(lcDownload).noquote() << "removed a state left alone:" << path;
            continue;
        }
        const QString statePath = DownloadState::pathFor(path);
#ifndef Q_OS_WIN
        const int fd = openUnheld(path, O_RDONLY);
        if (fd < 0)
            continue;
#endif
        const std::optional<DownloadState> state = DownloadState::read(statePath);
        if (state && keep(*state)) {
            qCInfo(lcDownload).noquote() << "kept to resume:" << path << state->spans.size() << "of" << state->length << "bytes";
        } else if (QFile::remove(path)) {
            // On Windows this fails while another updater has the file open.
            QFile::remove(statePath);
            qCInfo(lcDownload).noquote() << "removed a partial package left behind:" << path;
        }
#ifndef Q_OS_WIN
        ::close(fd);
#endif
    }
}

std::optional<PartialFile::Kept> PartialFile::claim(const QString &packagePath, const Keep &keep)
{
    for (QString path : ownFiles(packagePath)) {
        if (!path.endsWith(partialSuffix))
            continue;
        std::optional<DownloadState> state = DownloadState::read(DownloadState::pathFor(path));
        if (!state || !keep(*state))
            continue;
        auto file = std::make_unique<QFile>();
#ifdef Q_OS_WIN
        // Renaming fails while another updater has the file open; once renamed it is ours.
        const QString letters = QString::number(QRandomGenerator::global()->bounded(1u << 30), 36);
        const QString taken = templateFor(packagePath).replace(QStringLiteral("XXXXXX"), letters.rightJustified(6, QLatin1Char('0')));
        if (!QFile::rename(path, taken))
            continue;
        file->setFileName(taken);
        if (!file->open(QIODevice::ReadWrite))
            continue;
        QFile::remove(DownloadState::pathFor(path));
        path = taken;
#else
        const int fd = openUnheld(path, O_RDWR);
        if (fd < 0)
            continue;
        if (!file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            continue;
        }
#endif
        qCInfo(lcDownload).noquote() << "resuming" << path << "with" << state->spans.size() << "of" << state->length << "bytes";
        return Kept{std::move(file), path, std::move(*state)};
    }
    return std::nullopt;
}
