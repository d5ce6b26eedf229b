#ifndef KEPTFILE_H
#define KEPTFILE_H

#include "DownloadState.h"
#include "Failure.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <future>
#include <memory>
#include <optional>

class QFile;

// The file a package's bytes go to until the package is whole, and the state beside it that
// lets a later run go on from them: named so that anyone can tell whose they are, beside the
// package. An updater holds its own kept file while it runs; one that nobody holds was left by
// an updater that stopped, and is taken over for resuming or removed.
class KeptFile
{
public:
    // Which kept downloads stay: the others go, partial file and state.
    using Keep = std::function<bool(const DownloadState &)>;

    // Where a package asked for at `path` may go, first choice first: there, else the user's
    // Downloads folder, else the temporary folder.
    static QStringList places(const QString &path);
    // The one rule for what stays: bytes of the release `offer`, not older than a week. Nothing
    // stays when no release is offered; while the offer is not known (the check failed),
    // everything not older than a week stays.
    static Keep keptFor(const UpdateRecord *offer, bool offerKnown = true);
    // The one sweep at start-up, in every place a package asked for at `path` may go.
    static void sweepAll(const QString &path, const UpdateRecord *offer, bool offerKnown);

    // The template for a partial file of the package at `packagePath`, for QTemporaryFile,
    // and the state file beside a partial file.
    static QString templateFor(const QString &packagePath);
    static QString statePathFor(const QString &partialPath);

    // Keeps other updaters from taking the open `file` for a leftover while this one lives.
    static void hold(QFile &file);

    // Removes the partial files of the package at `packagePath` that no running updater
    // holds, except those whose state reads and `keep` accepts, and states left alone. Files
    // of other users, links, FIFOs and folders at those names are left alone.
    static void sweep(const QString &packagePath, const Keep &keep);

    // A kept download of the package at `packagePath` that `keep` accepts, taken over by
    // this updater: its file, open and held, and its state, whose spans end at the file's
    // end.
    struct Kept
    {
        // Opened by a handle, so it has no name of its own.
        std::unique_ptr<QFile> file;
        QString path;
        DownloadState state;
    };
    static std::optional<Kept> claim(const QString &packagePath, const Keep &keep);

    // A download's own: takes over a kept download of `record`'s package in one of the places
    // of `path`, else creates a partial file in the first that takes one, deleting an old
    // package there; the failure when no place will do.
    MaybeFailure open(const UpdateRecord &record, const QString &path);
    // The state taken over by open(), if any.
    const std::optional<DownloadState> &takenOver() const { return taken; }
    // Where the package goes, and its partial file.
    QString packagePath() const { return package; }
    QString partialPath() const { return partial; }
    QFile &file() const { return *data; }
    bool isOpen() const { return data != nullptr; }

    // Notes `state` for a later run, once the bytes it names are on the disk. They go to the
    // disk on a thread of its own, so that the bytes coming meanwhile wait for no disk (a
    // gigabyte in the cache took 0.3-4 s to sync here): one note at a time, after the one under
    // way (see keeping()). With `wait`, once it is written.
    void keep(const DownloadState &state, bool wait);
    bool keeping() const;
    // Empties the file: the package starts over, with no state.
    void startOver();
    // Removes the file and its state.
    void discard();
    // Moves the whole package to its path; the failure, if that fails.
    MaybeFailure save();

private:
    // Waits for the note under way; logs the first failure of a run of them.
    void waitKept();
    void report(const QString &failure);

    std::unique_ptr<QFile> data;
    std::optional<DownloadState> taken;
    QString package;
    QString partial;
    // Whether the last note failed, and the note under way: its failure, or nothing. Last: it
    // ends before the file closes.
    bool unwritable = false;
    std::future<QString> note;
};

#endif
