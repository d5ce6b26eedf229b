#include "PackageVerifier.h"

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
        if (!hash || EVP_DigestFinal_ex(hash.get(), digest, &length) != 1
            || QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length)) != record.sha256)
            return Verdict::HashMismatch;
    }
    return Verdict::Sound;
}
