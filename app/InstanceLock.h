#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

// One updater per working folder. A second one would fetch the same package again and,
// finishing later, replace the first one's package while the installer reads it. The
// second asks the first to show its window instead, so that a user who starts the updater
// again finds it.
class InstanceLock : public QObject
{
    Q_OBJECT

public:
    // A lock named after the working folder, in a folder of the user's own: the working
    // folder itself may be read-only, and nothing is left there if the process is killed.
    InstanceLock();

    // Where the lock of the current working folder lives (empty when there is no place).
    static QString path();

    // False only when another running updater holds this folder; a lock that cannot be
    // taken for any other reason keeps nobody from updating. Once taken, the lock listens
    // for later updaters in the folder.
    bool acquire();

    // Asks the updater that holds this folder to show its window; false when none answered.
    bool showRunning() const;

signals:
    // A later updater in this folder asked for the window.
    void showRequested();

private:
    void listen();

    const QString lockPath;
    QLockFile lock;
    QLocalServer server;
};

#endif
