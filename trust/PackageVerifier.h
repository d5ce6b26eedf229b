#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

#include "UpdateRecord.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_md_ctx_st;

// Checks a downloaded package against the size and hash its record promised; a signed
// record makes those the publisher's word.
class PackageVerifier
{
public:
    explicit PackageVerifier(const UpdateRecord &record);
    ~PackageVerifier();

    // The most bytes a good package can have, or -1 when the record does not say.
    qint64 sizeLimit() const { return record.size; }

    // Fed the package's bytes in order.
    void addData(const char *data, qint64 size);

    enum class Verdict {
        Sound,
        SizeMismatch,
        HashMismatch,
    };

    // Whether the finished package may be installed.
    Verdict verify(qint64 received);
    // The SHA-256 that verify() found, for the log; empty before, or without a hash to check.
    QByteArray receivedSha256() const { return received256; }

    // The SHA-256 of `length` bytes at `offset` of the file at `path`, such as one piece of a
    // package; empty when they cannot be read.
    static QByteArray sha256Of(const QString &path, qint64 offset, qint64 length);

private:
    const UpdateRecord record;
    // Null when the record names no hash.
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st *)> hash;
    QByteArray received256;
};

#endif
