#ifndef SIGNEDRECORD_H
#define SIGNEDRECORD_H

#include "UpdateRecord.h"

#include <QByteArray>
#include <QJsonObject>

#include <optional>

// The release record as its publisher signed it. "SignedRecord" holds the record's JSON
// text in base64 and "RecordSignature" the Ed25519 signature over exactly those bytes, so
// nobody on the path can roll users back, rewrite the notes or swap the package.
class SignedRecord
{
public:
    // The record inside `body` when the publisher's signature holds, it binds the package
    // by "Size" and "Sha256", and its "Expires" (seconds since 1970 UTC) is later than
    // `now`; nothing otherwise. The members beside the pair are never read.
    static std::optional<UpdateRecord> open(const QJsonObject &body, const QByteArray &publicKey, qint64 now);
};

#endif
