// Signs a release package for the updater.
//
//   signrelease keygen SECRET_KEY_FILE
//       writes a new Ed25519 secret key and prints its public half (base64), the
//       value to build the updater with (-DUPDATE_PUBLIC_KEY=...)
//   signrelease sign SECRET_KEY_FILE PACKAGE
//       prints the record members "Size", "Sha256" and "Signature" for PACKAGE
#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <sodium.h>

namespace {

QTextStream err(stderr);
QTextStream out(stdout);

int usage()
{
    err << "usage: signrelease keygen SECRET_KEY_FILE\n"
           "       signrelease sign SECRET_KEY_FILE PACKAGE\n";
    return 2;
}

int keygen(const QString &secretPath)
{
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);

    QFile file(secretPath);
    // Owner-only before anything is written: the secret half never sits readable on disk.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        err << "cannot create " << secretPath << ": " << file.errorString() << '\n';
        return 1;
    }
    const QByteArray line = QByteArray(reinterpret_cast<const char *>(secretKey), sizeof secretKey).toBase64() + '\n';
    sodium_memzero(secretKey, sizeof secretKey);
    if (file.write(line) != line.size() || !file.flush()) {
        err << "cannot write " << secretPath << '\n';
        return 1;
    }
    out << QByteArray(reinterpret_cast<const char *>(publicKey), sizeof publicKey).toBase64() << '\n';
    return 0;
}

int sign(const QString &secretPath, const QString &packagePath)
{
    QFile secretFile(secretPath);
    if (!secretFile.open(QIODevice::ReadOnly)) {
        err << "cannot read " << secretPath << '\n';
        return 1;
    }
    const QByteArray secretKey = QByteArray::fromBase64(secretFile.readAll().trimmed());
    if (secretKey.size() != crypto_sign_SECRETKEYBYTES) {
        err << secretPath << " holds no Ed25519 secret key\n";
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

    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, data, static_cast<unsigned long long>(size),
                         reinterpret_cast<const unsigned char *>(secretKey.constData()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&package)) {
        err << "cannot read " << packagePath << '\n';
        return 1;
    }
    const QJsonObject members{
        {QStringLiteral("Size"), static_cast<double>(size)},
        {QStringLiteral("Sha256"), QString::fromLatin1(hash.result().toHex())},
        {QStringLiteral("Signature"),
         QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(signature), sizeof signature).toBase64())},
    };
    out << QJsonDocument(members).toJson(QJsonDocument::Indented);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (sodium_init() < 0) {
        err << "libsodium cannot start\n";
        return 1;
    }
    const QByteArray command = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (command == "keygen" && argc == 3)
        return keygen(QString::fromLocal8Bit(argv[2]));
    if (command == "sign" && argc == 4)
        return sign(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    return usage();
}
