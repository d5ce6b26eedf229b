#include "PackageVerifier.h"

#include <QFile>

#include <openssl/evp.h>

namespace {

EVP_MD_CTX *sha256Context(const UpdateRecord &record)
{
    if (record.sha256.isEmpty())
        return nullptr;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return nullptr;
    }
    return context;
}

} // namespace

PackageVerifier::PackageVerifier(const UpdateRecord &record)
    : record(record)
    , hash(sha256Context(record), EVP_MD_CTX_free)
{
}

PackageVerifier::~PackageVerifier() = default;

void PackageVerifier::addData(const char *data, qint64 size)
{
    if (hash)
        EVP_DigestUpdate(hash.get(), data, static_cast<size_t>(size));
}

PackageVerifier::Verdict PackageVerifier::verify(qint64 received)
{
    if (record.size >= 0 && received != record.size)
        return Verdict::SizeMismatch;
    if (!record.sha256.isEmpty()) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!hash || EVP_DigestFinal_ex(hash.get(), digest, &length) != 1)
            return Verdict::HashMismatch;
        received256 = QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length));
        if (received256 != record.sha256)
            return Verdict::HashMismatch;
    }
    return Verdict::Sound;
}

QByteArray PackageVerifier::sha256Of(const QString &path, qint64 offset, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return QByteArray();
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    while (ok && length > 0) {
        const qint64 read = file.read(buffer.data(), qMin<qint64>(buffer.size(), length));
        ok = read > 0 && EVP_DigestUpdate(context.get(), buffer.constData(), size_t(read)) == 1;
        length -= read;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    ok = ok && EVP_DigestFinal_ex(context.get(), digest, &digestLength) == 1;
    return ok ? QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)) : QByteArray();
}
