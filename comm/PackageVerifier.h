#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

#include "UpdateRecord.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

class QFile;

// Checks a downloaded package against what its record promised and, when the
// updater carries the publisher's key, against the publisher's signature.
class PackageVerifier
{
public:
    PackageVerifier(const UpdateRecord &record, const QByteArray &publicKey);

    // The most bytes a good package can have, or -1 when the record does not say.
    qint64 sizeLimit() const { return record.size; }

    // Fed every chunk as it is written, so the hash needs no second pass.
    void addData(const QByteArray &chunk);

    // The reason to refuse the finished package, empty when it may be installed.
    QString verify(QFile &file, qint64 received);

private:
    QString verifySignature(QFile &file, qint64 received) const;

    const UpdateRecord record;
    const QByteArray publicKey;
    QCryptographicHash hash;
};

#endif
