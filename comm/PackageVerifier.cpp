#include "PackageVerifier.h"

#include <QFile>

#include <openssl/evp.h>

namespace {

constexpr int ed25519KeySize = 32;

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

PackageVerifier::PackageVerifier(const UpdateRecord &record, const QByteArray &publicKey)
    : record(record)
    , publicKey(publicKey)
    , hash(sha256Context(record), EVP_MD_CTX_free)
{
}

PackageVerifier::~PackageVerifier() = default;

void PackageVerifier::addData(const QByteArray &chunk)
{
    if (hash)
        EVP_DigestUpdate(hash.get(), chunk.constData(), static_cast<size_t>(chunk.size()));
}

QString PackageVerifier::verify(QFile &file, qint64 received)
{
    if (!record.malformedMember.isEmpty())
        return QStringLiteral("更新信息中的校验数据无效（%1）").arg(record.malformedMember);
    if (record.size >= 0 && received != record.size)
        return QStringLiteral("安装包大小不符");
    if (!record.sha256.isEmpty()) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!hash || EVP_DigestFinal_ex(hash.get(), digest, &length) != 1
            || QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length)) != record.sha256)
            return QStringLiteral("安装包校验失败");
    }
    if (!publicKey.isEmpty())
        return verifySignature(file, received);
    return QString();
}

QString PackageVerifier::verifySignature(QFile &file, qint64 received) const
{
    if (record.signature.isEmpty())
        return QStringLiteral("安装包缺少签名");
    const QString cannotCheck = QStringLiteral("无法校验安装包签名");
    if (publicKey.size() != ed25519KeySize)
        return cannotCheck;
    const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
                                    ed25519KeySize),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return cannotCheck;

    // Ed25519 signs the whole message at once; mapping the file keeps a large package off the heap.
    const unsigned char empty = 0;
    const uchar *data = received > 0 ? file.map(0, received) : &empty;
    if (!data)
        return cannotCheck;
    const int result = EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(record.signature.constData()),
                                        static_cast<size_t>(record.signature.size()), data, static_cast<size_t>(received));
    if (received > 0)
        file.unmap(const_cast<uchar *>(data));
    return result == 1 ? QString() : QStringLiteral("安装包签名无效");
}
