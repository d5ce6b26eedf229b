#ifndef SIGNEDRECORD_H
#define SIGNEDRECORD_H

#include "UpdateRecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// The release record as its publisher signed it. "SignedRecord" holds the record's JSON
// text in base64 and "RecordSignature" the Ed25519 signature over exactly those bytes, so
// nobody on the path can roll users back, rewrite the notes or swap the package.
class SignedRecord
{
public:
    // The record inside `body` when the publisher's signature holds, it binds the package
    // by "Size" and "Sha256", and its "Expires" (seconds since 1970 UTC) is later than
    // `now`; nothing otherwise. The members beside the pair are never read. Without `now`
    // the expiry must only be well-formed: a record trusted once still tells how new
    // releases have been.
    static std::optional<UpdateRecord> open(const QJsonObject &body, const QByteArray &publicKey, std::optional<qint64> now);
    // A short name for a public key that the configuration, the log and signrelease all
    // print: the first 16 hex digits of the SHA-256 of its base64 text.
    static QString fingerprint(const QByteArray &publicKey);
    // The signed JSON object inside `body` when the signature holds; nothing otherwise.
    static std::optional<QJsonObject> verified(const QJsonObject &body, const QByteArray &publicKey);
};

#endif
