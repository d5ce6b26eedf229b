#include "signingkey.h"

#include <QString>

#include <openssl/evp.h>

SigningKey::SigningKey()
    : key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free)
{
    size_t length = 32;
    publicKey.resize(32);
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(publicKey.data()), &length) != 1)
        publicKey.clear();
}

QByteArray SigningKey::sign(const QByteArray &message) const
{
    QByteArray signature(64, Qt::Uninitialized);
    size_t length = 64;
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                          reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size())) != 1)
        return QByteArray();
    return signature;
}

QJsonObject SigningKey::signedMembers(const QByteArray &recordBytes) const
{
    return QJsonObject{{QStringLiteral("SignedRecord"), QString::fromLatin1(recordBytes.toBase64())},
                       {QStringLiteral("RecordSignature"), QString::fromLatin1(sign(recordBytes).toBase64())}};
}
