#ifndef OWNFILE_H
#define OWNFILE_H

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <memory>

class QFile;

// The files the updater keeps in folders that others may write to as well (the working
// folder, Downloads): read like a hostile server's answer. Anyone could have put a link, a
// FIFO or a file of their own at a name the updater uses.
class OwnFile
{
public:
    // `path` opened only when it is a regular file that the current user owns and nobody
    // else may write, never through a link and never blocking; null otherwise. With
    // `exclusive`, only when no other process holds it, and then held until closed.
    static std::unique_ptr<QFile> open(const QString &path, QIODevice::OpenMode mode, bool exclusive = false);

    // Puts `bytes` at `path` whole or not at all: written to a new file of the user's alone
    // beside it, put on the disk, then renamed over it. A link at `path` is replaced, never
    // followed.
    static bool replace(const QString &path, const QByteArray &bytes);

    // Puts what was written to `file` on the disk; what was written through the native
    // `handle` of a file, from any thread.
    static bool sync(QFile &file);
    static bool sync(int handle);

    // Whether `path` is a folder, not a link, that only the current user may write (always,
    // on Windows, where a user's folders are the user's own).
    static bool isOwnFolder(const QString &path);
};

#endif
