#ifndef INSTALLERPACKAGE_H
#define INSTALLERPACKAGE_H

#include <QString>

class QIODevice;

// A Windows Installer package is a compound file: its header gives the sector size and
// its allocation table names the sectors in use. A package cut short therefore shows
// itself even when nothing declared its length.
class InstallerPackage
{
public:
    // Why the first `size` bytes of `file` are not a whole package; empty when they are.
    static QString defect(QIODevice &file, qint64 size);
};

#endif
