#include "PackageVerifier.h"

#include <QFile>

#include <sodium.h>

PackageVerifier::PackageVerifier(const UpdateRecord &record, const QByteArray &publicKey)
    : record(record)
    , publicKey(publicKey)
    , hash(QCryptographicHash::Sha256)
{
}

void PackageVerifier::addData(const QByteArray &chunk)
{
    if (!record.sha256.isEmpty())
        hash.addData(chunk);
}

QString PackageVerifier::verify(QFile &file, qint64 received)
{
    if (!record.malformedMember.isEmpty())
        return QStringLiteral("更新信息中的校验数据无效（%1）").arg(record.malformedMember);
    if (record.size >= 0 && received != record.size)
        return QStringLiteral("安装包大小不符");
    if (!record.sha256.isEmpty() && hash.result() != record.sha256)
        return QStringLiteral("安装包校验失败");
    if (!publicKey.isEmpty())
        return verifySignature(file, received);
    return QString();
}

QString PackageVerifier::verifySignature(QFile &file, qint64 received) const
{
    if (record.signature.isEmpty())
        return QStringLiteral("安装包缺少签名");
    if (publicKey.size() != crypto_sign_PUBLICKEYBYTES || sodium_init() < 0)
        return QStringLiteral("无法校验安装包签名");

    // Ed25519 signs the whole message; mapping the file keeps a large package off the heap.
    const unsigned char empty = 0;
    const uchar *data = received > 0 ? file.map(0, received) : &empty;
    if (!data)
        return QStringLiteral("无法校验安装包签名");
    const int result = crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(record.signature.constData()),
                                                   data, static_cast<unsigned long long>(received),
                                                   reinterpret_cast<const unsigned char *>(publicKey.constData()));
    if (received > 0)
        file.unmap(const_cast<uchar *>(data));
    return result == 0 ? QString() : QStringLiteral("安装包签名无效");
}
