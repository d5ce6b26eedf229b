#include "SignedRecord.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <openssl/evp.h>

#include <memory>

namespace {

constexpr int keySize = 32;
constexpr int signatureSize = 64;

bool signatureHolds(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    if (publicKey.size() != keySize || signature.size() != signatureSize)
        return false;
    const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
                                    keySize),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()), signatureSize,
                            reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()))
        == 1;
}

} // namespace

std::optional<QJsonObject> SignedRecord::verified(const QJsonObject &body, const QByteArray &publicKey)
{
    const std::optional<QByteArray> signedBytes = UpdateRecord::base64(body.value(QLatin1String("SignedRecord")));
    const std::optional<QByteArray> signature = UpdateRecord::base64(body.value(QLatin1String("RecordSignature")));
    if (!signedBytes || !signature || !signatureHolds(*signedBytes, *signature, publicKey))
        return std::nullopt;

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*signedBytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<UpdateRecord> SignedRecord::open(const QJsonObject &body, const QByteArray &publicKey, std::optional<qint64> now)
{
    const std::optional<QJsonObject> json = verified(body, publicKey);
    if (!json)
        return std::nullopt;
    UpdateRecord record = UpdateRecord::fromJson(*json);
    // Without the package's size and hash the signature would vouch for any file.
    if (!record.malformedMember.isEmpty() || record.size < 0 || record.sha256.isEmpty())
        return std::nullopt;

    // A record that never expires could be replayed for ever, holding users on an old release.
    qint64 expiry = 0;
    if (!UpdateRecord::exactInteger(json->value(QLatin1String("Expires")), &expiry) || (now && expiry <= *now))
        return std::nullopt;
    record.vouched = true;
    return record;
}

QString SignedRecord::fingerprint(const QByteArray &publicKey)
{
    return QString::fromLatin1(QCryptographicHash::hash(publicKey.toBase64(), QCryptographicHash::Sha256).toHex().left(16));
}
