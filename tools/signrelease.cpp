// Signs a release package for the updater.
//
//   signrelease keygen SECRET_KEY_FILE
//       writes a new Ed25519 secret key and prints its public half (base64), the
//       value to build the updater with (-DUPDATE_PUBLIC_KEY=...)
//   signrelease sign SECRET_KEY_FILE PACKAGE
//       prints the record members "Size", "Sha256" and "Signature" for PACKAGE
//
// A key file holds one base64 line: the 32-byte private seed followed by the public key.
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <openssl/evp.h>

#include <memory>

namespace {

QTextStream err(stderr);
QTextStream out(stdout);

constexpr int keySize = 32;
using Key = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)>;
using Context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)>;

int usage()
{
    err << "usage: signrelease keygen SECRET_KEY_FILE\n"
           "       signrelease sign SECRET_KEY_FILE PACKAGE\n";
    return 2;
}

QByteArray rawKey(EVP_PKEY *key, bool secret)
{
    QByteArray raw(keySize, Qt::Uninitialized);
    size_t length = keySize;
    auto *data = reinterpret_cast<unsigned char *>(raw.data());
    const int ok = secret ? EVP_PKEY_get_raw_private_key(key, data, &length) : EVP_PKEY_get_raw_public_key(key, data, &length);
    return ok == 1 && length == keySize ? raw : QByteArray();
}

int keygen(const QString &secretPath)
{
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
    const QByteArray seed = key ? rawKey(key.get(), true) : QByteArray();
    const QByteArray publicKey = key ? rawKey(key.get(), false) : QByteArray();
    if (seed.isEmpty() || publicKey.isEmpty()) {
        err << "cannot make a key\n";
        return 1;
    }

    QFile file(secretPath);
    // Owner-only before anything is written: the secret half never sits readable on disk.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        err << "cannot create " << secretPath << ": " << file.errorString() << '\n';
        return 1;
    }
    const QByteArray line = (seed + publicKey).toBase64() + '\n';
    if (file.write(line) != line.size() || !file.flush()) {
        err << "cannot write " << secretPath << '\n';
        return 1;
    }
    out << publicKey.toBase64() << '\n';
    return 0;
}

int sign(const QString &secretPath, const QString &packagePath)
{
    QFile secretFile(secretPath);
    if (!secretFile.open(QIODevice::ReadOnly)) {
        err << "cannot read " << secretPath << '\n';
        return 1;
    }
    const QByteArray secret = QByteArray::fromBase64(secretFile.readAll().trimmed());
    const Key key(secret.size() == 2 * keySize
                      ? EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                                     reinterpret_cast<const unsigned char *>(secret.constData()), keySize)
                      : nullptr,
                  EVP_PKEY_free);
    // The stored public half must belong to the seed, or the file is damaged.
    if (!key || rawKey(key.get(), false) != secret.mid(keySize)) {
        err << secretPath << " holds no Ed25519 key\n";
        return 1;
    }

    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly)) {
        err << "cannot read " << packagePath << '\n';
        return 1;
    }
    const qint64 size = package.size();
    const unsigned char empty = 0;
    const uchar *data = size > 0 ? package.map(0, size) : &empty;
    if (!data) {
        err << "cannot map " << packagePath << '\n';
        return 1;
    }

    unsigned char signature[64];
    size_t signatureLength = sizeof signature;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), signature, &signatureLength, data, static_cast<size_t>(size)) != 1
        || EVP_Digest(data, static_cast<size_t>(size), digest, &digestLength, EVP_sha256(), nullptr) != 1) {
        err << "cannot sign " << packagePath << '\n';
        return 1;
    }

    const QJsonObject members{
        {QStringLiteral("Size"), static_cast<double>(size)},
        {QStringLiteral("Sha256"),
         QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(digestLength)).toHex())},
        {QStringLiteral("Signature"),
         QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(signature), static_cast<int>(signatureLength)).toBase64())},
    };
    out << QJsonDocument(members).toJson(QJsonDocument::Indented);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QByteArray command = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (command == "keygen" && argc == 3)
        return keygen(QString::fromLocal8Bit(argv[2]));
    if (command == "sign" && argc == 4)
        return sign(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    return usage();
}
