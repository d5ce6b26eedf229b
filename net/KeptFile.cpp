#include "KeptFile.h"

#include "Logging.h"
#include "OwnFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

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

// A temporary folder that is the user's own: one that others may write to, as a shared /tmp,
// could hold anybody's files at the names the updater uses; the user's cache folder then.
QString ownTemporaryFolder()
{
    const QString temporary = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (!QFileInfo::exists(temporary) || OwnFile::isOwnFolder(temporary))
        return temporary;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    return !cache.isEmpty() && QDir().mkpath(cache) ? cache : QString();
}

} // namespace

QStringList KeptFile::places(const QString &path)
{
    // A standard user cannot write where a per-machine install lives, and Windows does not
    // redirect the writes of a program that asks for no elevation: a folder of the user's own.
    QStringList places{path};
    const QString name = QFileInfo(path).fileName();
    for (const QString &folder : {QStandardPaths::writableLocation(QStandardPaths::DownloadLocation), ownTemporaryFolder()})
        if (!folder.isEmpty())
            places << QDir(folder).filePath(name);
    return places;
}

KeptFile::Keep KeptFile::keptFor(const UpdateRecord *offer, bool offerKnown)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return [offer, offerKnown, now](const DownloadState &state) {
        return !state.expired(now) && (!offerKnown || (offer && state.isFor(*offer)));
    };
}

void KeptFile::sweepAll(const QString &path, const UpdateRecord *offer, bool offerKnown)
{
    for (const QString &place : places(path))
        sweep(place, keptFor(offer, offerKnown));
}

QString KeptFile::templateFor(const QString &packagePath)
{
    // QTemporaryFile fills in the six X with letters and digits.
    return packagePath + QStringLiteral(".XXXXXX") + partialSuffix;
}

QString KeptFile::statePathFor(const QString &partialPath)
{
    QString path = partialPath;
    if (path.endsWith(partialSuffix))
        path.chop(partialSuffix.size());
    return path + stateSuffix;
}

void KeptFile::hold(QFile &file)
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

void KeptFile::sweep(const QString &packagePath, const Keep &keep)
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
        const QString statePath = statePathFor(path);
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

std::optional<KeptFile::Kept> KeptFile::claim(const QString &packagePath, const Keep &keep)
{
    for (const QString &path : ownFiles(packagePath)) {
        if (!path.endsWith(partialSuffix))
            continue;
        std::optional<DownloadState> state = DownloadState::read(statePathFor(path));
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

MaybeFailure KeptFile::open(const UpdateRecord &record, const QString &path)
{
    package = path;
    const QStringList all = places(path);
    for (const QString &place : all) {
        if (std::optional<Kept> kept = claim(place, keptFor(&record))) {
            data = std::move(kept->file);
            partial = kept->path;
            package = place;
            taken = std::move(kept->state);
            break;
        }
    }
    // Written under a name of its own beside the package, so a partial package never carries
    // the package's name. Only a folder that cannot take the file at all is passed over: a
    // full disk shows as a failed write, and the same disk would be full elsewhere too.
    const QStringList candidates = data ? QStringList() : all;
    QStringList blocked;
    for (const QString &place : candidates) {
        // An old package that cannot be replaced (read-only, or open in another program)
        // passes its folder over, as a folder that takes no file does.
        QFile old(place);
        if (old.exists() && !old.remove()) {
            qCWarning(lcDownload).noquote() << "the old package" << place << "cannot be removed:" << old.errorString();
            blocked << place;
            continue;
        }
        auto created = std::make_unique<QTemporaryFile>(templateFor(place));
        if (created->open()) {
            // What a stopped download keeps is this object's to decide.
            created->setAutoRemove(false);
            hold(*created);
            partial = created->fileName();
            package = place;
            data = std::move(created);
            break;
        }
    }
    if (!data && !blocked.isEmpty()) {
        Failure cause(Failure::CannotDeleteOldPackage,
                      QStringLiteral("old packages that cannot be removed: ") + blocked.join(QStringLiteral(", ")));
        cause.folder = blocked.first();
        return cause;
    }
    if (!data)
        return Failure(Failure::CannotCreateFile, QStringLiteral("no partial file could be created beside any of ")
                                                      + all.join(QStringLiteral(", ")));
    QFile old(package);
    if (old.exists() && !old.remove()) {
        Failure cause(Failure::CannotDeleteOldPackage, package + QStringLiteral(": ") + old.errorString());
        cause.folder = package;
        // Bytes kept from an earlier run stay for the next; a file just made goes.
        if (!taken || taken->spans.size() == 0)
            discard();
        data.reset();
        return cause;
    }
    qCInfo(lcDownload).noquote() << "writing to" << partial;
    return std::nullopt;
}

void KeptFile::keep(const DownloadState &state, bool wait)
{
    waitKept();
    if (!data->flush())
        return report(data->errorString());
    // The bytes first: the state must never name bytes that are not on the disk.
    note = std::async(std::launch::async, [handle = data->handle(), state, path = statePathFor(partial)] {
        if (!OwnFile::sync(handle))
            return QStringLiteral("the bytes cannot be put on the disk: ") + qt_error_string();
        return state.write(path) ? QString() : QStringLiteral("the state cannot be written to ") + path;
    });
    if (wait)
        waitKept();
}

bool KeptFile::keeping() const
{
    return note.valid() && note.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
}

void KeptFile::waitKept()
{
    if (note.valid())
        report(note.get());
}

void KeptFile::report(const QString &failure)
{
    if (!failure.isEmpty() && !unwritable)
        qCWarning(lcDownload).noquote() << "cannot keep the state of" << partial << "to resume from:" << failure;
    unwritable = !failure.isEmpty();
}

void KeptFile::startOver()
{
    waitKept();
    data->resize(0);
    data->seek(0);
    QFile::remove(statePathFor(partial));
}

void KeptFile::discard()
{
    waitKept();
    QFile::remove(statePathFor(partial));
    data.reset();
    QFile::remove(partial);
}

MaybeFailure KeptFile::save()
{
    waitKept();
    // Stale packages were deleted before the download; one may have come back since.
    QFile::remove(package);
    QFile::remove(statePathFor(partial));
#ifdef Q_OS_WIN
    // An open file cannot be renamed there, and a closed QTemporaryFile keeps its handle.
    data.reset();
#endif
    // Elsewhere it stays held until it has the package's name, which no clean-up touches.
    QFile file(partial);
    const bool renamed = file.rename(package);
    data.reset();
    if (!renamed) {
        const QString reason = file.errorString();
        QFile::remove(partial);
        return Failure(Failure::CannotSave, QStringLiteral("%1 to %2: %3").arg(partial, package, reason));
    }
    return std::nullopt;
}
