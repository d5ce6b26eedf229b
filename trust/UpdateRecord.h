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
    // Names the integrity member that is present but unusable, if any.
    QString malformedMember;
    // The publisher signed it, so its "Size" is the publisher's word, not the server's.
    bool vouched = false;
};

#endif
