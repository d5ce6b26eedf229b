#ifndef UPDATERECORD_H
#define UPDATERECORD_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <QStringList>
#include <QUrl>

#include <optional>
#include <vector>

// The published release as the server's record describes it.
class UpdateRecord
{
public:
    static UpdateRecord fromJson(const QJsonObject &record);

    // A JSON number that is a whole number JSON parsers agree on; false for fractions,
    // strings, other types and magnitudes beyond 2^53.
    static bool exactInteger(const QJsonValue &value, qint64 *integer);
    // The bytes of a JSON string in strict base64; nothing for other types and bad base64.
    static std::optional<QByteArray> base64(const QJsonValue &value);

    // An address a package may be fetched from: absolute http(s) with a host.
    static bool isPackageUrl(const QUrl &url);

    // A release is offered when it is published, is not this very release and is
    // later than it; newness is the release time, the version text only vetoes.
    bool offersUpdate(const QString &currentVersion, qint64 currentReleaseTime) const;

    // Why this record may not follow `kept`, the newest one trusted before: an older Time,
    // or the same Time naming another release or package (a replay, or a publisher's
    // mistake); empty when it may. A record re-signed with a new expiry, mirrors or notes
    // follows its own earlier copy.
    QString replayOf(const UpdateRecord &kept) const;

    // The share of installs offered the release at `now`, from 0 to 1: none at the rollout's
    // start, growing evenly to all after its days; all when the record has no rollout.
    static double rolloutShare(qint64 now, qint64 start, int days);
    // Whether the install with this number (drawn evenly from all 32-bit values) has its turn.
    bool rolloutAdmits(quint32 installNumber, qint64 now) const;

    // The largest version-check answer the updater reads.
    static constexpr qint64 maxBytes = 1024 * 1024;

    int state = 0;
    QString version;
    qint64 time = 0;
    QString notes;
    QString downloadUri;

    // What the package must match. Absent members are not checked: size -1,
    // sha256 empty.
    qint64 size = -1;
    QByteArray sha256;
    // Other places that serve the same bytes as downloadUri, in the publisher's order.
    static constexpr int maxMirrors = 8;
    QStringList mirrors;
    // The package's pieces of pieceSize bytes (the last may be shorter) and the SHA-256 of
    // each; 0 and none when the record does not list them.
    static constexpr qint64 smallestPiece = Q_INT64_C(1) << 20;
    static constexpr qint64 largestPiece = Q_INT64_C(64) << 20;
    qint64 pieceSize = 0;
    std::vector<QByteArray> pieceSha256;
    // A phased rollout: from rolloutStart (seconds since 1970) over rolloutDays (1 to 30);
    // days 0 when the record has none.
    static constexpr int maxRolloutDays = 30;
    qint64 rolloutStart = 0;
    int rolloutDays = 0;
    // Names the integrity member that is present but unusable, if any.
    QString malformedMember;
    // The publisher signed it, so its "Size" is the publisher's word, not the server's.
    bool vouched = false;
};

#endif
