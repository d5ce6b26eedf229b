#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QLockFile>

// One updater per working folder. A second one would fetch the same package again and,
// finishing later, replace the first one's package while the installer reads it.
class InstanceLock
{
public:
    // A lock named after the working folder, in the user's temporary folder: the working
    // folder itself may be read-only, and nothing is left there if the process is killed.
    InstanceLock();

    // False only when another running updater holds this folder; a lock that cannot be
    // taken for any other reason keeps nobody from updating.
    bool acquire();

private:
    QLockFile lock;
};

#endif
