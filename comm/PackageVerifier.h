#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

#include "UpdateRecord.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QFile;
struct evp_md_ctx_st;

// Checks a downloaded package against what its record promised and, when the
// updater carries the publisher's key, against the publisher's signature.
class PackageVerifier
{
public:
    PackageVerifier(const UpdateRecord &record, const QByteArray &publicKey);
    ~PackageVerifier();

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
    // Null when the record names no hash.
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st *)> hash;
};

#endif
