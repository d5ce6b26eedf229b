#ifndef PARTIALFILE_H
#define PARTIALFILE_H

#include "DownloadState.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QFile;

// The file a package's bytes go to until the package is whole: named so that anyone can tell
// whose it is, beside the package, with the state that lets a later run go on from it. An
// updater holds its own partial file while it runs; one that nobody holds was left by an
// updater that stopped, and is kept for resuming or removed.
class PartialFile
{
public:
    // Which kept downloads stay: the others go, partial file and state.
    using Keep = std::function<bool(const DownloadState &)>;

    // The template for a partial file of the package at `packagePath`, for QTemporaryFile.
    static QString templateFor(const QString &packagePath);

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
};

#endif
