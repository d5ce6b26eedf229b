#include "PartialFile.h"

#include "Logging.h"
#include "OwnFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <sys/file.h>
#endif

namespace {

const QString partialSuffix = QStringLiteral(".part");

const QString stateSuffix = QStringLiteral(".state");

// The partial files of the package at `packagePath` and the states beside them, "<package>.<six
// letters or digits>.part" and ".state", by name: what they are is judged when they are opened.
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

void PartialFile::sweep(const QString &packagePath, const Keep &keep)
{
    for (const QString &path : ownFiles(packagePath)) {
        if (path.endsWith(stateSuffix)) {
            // A state whose partial file is gone; one beside a partial file goes with it.
            if (!QFile::exists(path.chopped(stateSuffix.size()) + partialSuffix) && OwnFile::open(path, QIODevice::ReadOnly)
                && QFile::remove(path))
                qCInfo(lcDownload).noquote() << "removed a state left alone:" << path;
            continue;
        }
        // Held while it is judged, so that no other updater takes it meanwhile.
        const std::unique_ptr<QFile> held = OwnFile::open(path, QIODevice::ReadOnly, true);
        if (!held)
            continue;
        const QString statePath = DownloadState::pathFor(path);
        const std::optional<DownloadState> state = DownloadState::read(statePath);
        if (state && keep(*state)) {
            qCInfo(lcDownload).noquote() << "kept to resume:" << path << state->spans.size() << "of" << state->length << "bytes";
        } else if (QFile::remove(path)) {
            if (OwnFile::open(statePath, QIODevice::ReadOnly))
                QFile::remove(statePath);
            qCInfo(lcDownload).noquote() << "removed a partial package left behind:" << path;
        }
    }
}

std::optional<PartialFile::Kept> PartialFile::claim(const QString &packagePath, const Keep &keep)
{
    for (const QString &path : ownFiles(packagePath)) {
        if (!path.endsWith(partialSuffix))
            continue;
        std::optional<DownloadState> state = DownloadState::read(DownloadState::pathFor(path));
        if (!state || !keep(*state))
            continue;
        std::unique_ptr<QFile> file = OwnFile::open(path, QIODevice::ReadWrite, true);
        if (!file)
            continue;
        // The state may name more than the file holds: a torn write, or somebody else's word.
        if (file->size() < state->length)
            state->spans.remove({file->size(), state->length});
        qCInfo(lcDownload).noquote() << "resuming" << path << "with" << state->spans.size() << "of" << state->length << "bytes";
        return Kept{std::move(file), path, std::move(*state)};
    }
    return std::nullopt;
}
