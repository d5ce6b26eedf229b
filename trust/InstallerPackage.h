#ifndef INSTALLERPACKAGE_H
#define INSTALLERPACKAGE_H

#include <QtGlobal>

class QIODevice;

// A Windows Installer package is a compound file: its header gives the sector size and
// its allocation table names the sectors in use. A package cut short therefore shows
// itself even when nothing declared its length.
class InstallerPackage
{
public:
    enum class Defect {
        None,
        // Not a compound file at all.
        Foreign,
        // A compound file whose tables name sectors past its end.
        CutShort,
        Unreadable,
    };

    // Why the first `size` bytes of `file` are not a whole package.
    static Defect defect(QIODevice &file, qint64 size);
};

#endif
