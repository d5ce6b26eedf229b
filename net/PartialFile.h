#ifndef PARTIALFILE_H
#define PARTIALFILE_H

#include <QString>

class QFile;

// The file a package's bytes go to until the package is whole: named so that anyone can tell
// whose it is, beside the package. A process killed mid-download leaves it behind, so each
// start removes those that no running updater holds.
class PartialFile
{
public:
    // The template for a partial file of the package at `packagePath`, for QTemporaryFile.
    static QString templateFor(const QString &packagePath);

    // Keeps other updaters from taking the open `file` for a leftover while this one lives.
    static void hold(QFile &file);

    // Removes the partial files of the package at `packagePath` that no running updater holds.
    static void removeStale(const QString &packagePath);
};

#endif
