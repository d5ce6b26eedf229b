#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QLockFile>
#include <QString>

// One updater per working folder. A second one would fetch the same package again and,
// finishing later, replace the first one's package while the installer reads it.
class InstanceLock
{
public:
    // A lock named after the working folder, in a folder of the user's own: the working
    // folder itself may be read-only, and nothing is left there if the process is killed.
    InstanceLock();

    // Where the lock of the current working folder lives (empty when there is no place).
    static QString path();

    // False only when another running updater holds this folder; a lock that cannot be
    // taken for any other reason keeps nobody from updating.
    bool acquire();

private:
    const QString lockPath;
    QLockFile lock;
};

#endif
