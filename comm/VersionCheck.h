#ifndef VERSIONCHECK_H
#define VERSIONCHECK_H

#include "comm/CheckMemory.h"
#include "net/Failure.h"
#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QString>

#include <optional>

class Comm;

// The start-up question to the update server: the published record, asked for, unwrapped,
// believed as the build is keyed (a signature, the newest record trusted before as its floor),
// and held against the running release and the rollout. The window shows what it decides.
class VersionCheck
{
public:
    // Asks `endpoint` through `comm`; with `publicKey`, believes only what it signed and
    // keeps what it believed in `keptFolder` (nothing, when empty).
    VersionCheck(Comm &comm, const QString &endpoint, const QByteArray &publicKey, const QString &keptFolder);

    struct Outcome
    {
        // Nobody could be asked, or nothing could be believed: "no new version" would be a guess.
        MaybeFailure failure;
        // The release offered to this install now; nothing when none is newer or its turn
        // has not come.
        std::optional<UpdateRecord> offer;
    };
    // The record that the running release `currentVersion` of `currentReleaseTime` is offered,
    // at `now` (seconds since the epoch).
    Outcome run(const QString &currentVersion, qint64 currentReleaseTime, qint64 now);

private:
    // The published record, asked for and believed as the build is keyed.
    Outcome fetch(qint64 now);
    // Whether a phased rollout offers the release to this install yet.
    bool hasTurn(const UpdateRecord &record, qint64 now) const;

    Comm &comm;
    const QString endpoint;
    const QByteArray publicKey;
    const CheckMemory memory;
};

#endif
