// Signs a release package for the updater.
//
//   signrelease keygen SECRET_KEY_FILE
//       writes a new Ed25519 secret key and prints its public half (base64), the
//       value to build the updater with (-DUPDATE_PUBLIC_KEY=...), and its fingerprint
//       on stderr
//   signrelease sign SECRET_KEY_FILE PACKAGE
//       prints the record members "Size", "Sha256" and "Signature" for PACKAGE
//   signrelease record [--mirror URL]... [--piece-size BYTES] [--rollout-days N] SECRET_KEY_FILE PACKAGE
//                      VERSION TIME NOTES_FILE DOWNLOAD_URI [EXPIRES]
//       prints the whole version-check body for PACKAGE, ready to serve: the plain record
//       (for updaters without a key) and the same record signed ("SignedRecord" and
//       "RecordSignature"); TIME and EXPIRES are seconds since 1970 UTC or a UTC time
//       (2026-12-01T08:00:00Z, or 2026-12-01 for its midnight), or EXPIRES is +DAYS from
//       now; without EXPIRES the record expires 7 days from now, and it may not expire
//       more than a year ahead. Each --mirror adds a server that serves the same bytes
//       ("Mirrors"); the record lists the SHA-256 of each piece ("PieceSize", "PieceSha256"):
//       64 pieces at most of 4 MiB or more, or pieces of --piece-size bytes (a power of two
//       from 1 MiB to 64 MiB; 0 lists none). --rollout-days offers the release to a share of
//       installs that grows from none now to all after N days (1 to 30).
//   signrelease resign RECORD SECRET_KEY_FILE [--expires EXPIRES]
//       checks the published body RECORD with the key, gives it a new expiry (7 days from
//       now by default), signs it again and puts it in RECORD's place in one rename; the
//       rest of the record stays as it was signed
//
// A key file holds one base64 line: the 32-byte private seed followed by the public key.
#include "trust/SignedRecord.h"
#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTextStream>
#include <QUrl>

#include <openssl/evp.h>

#include <memory>
#include <optional>

namespace {

QTextStream err(stderr);
QTextStream out(stdout);

constexpr int keySize = 32;
// A replayed record works until it expires: a week, with the record re-signed daily.
constexpr qint64 defaultLifetimeSecs = 7 * 24 * 3600;
// The updater refuses records that expire further ahead.
constexpr qint64 longestLifetimeSecs = 366 * 24 * 3600;
// Pieces the updater checks as they come: small enough that a wrong one costs little to fetch
// again, few enough that every check of a fleet stays small (64 make about 10 KB).
constexpr qint64 smallestDefaultPiece = 4 * 1024 * 1024;
constexpr qint64 mostDefaultPieces = 64;
using Key = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)>;
using Context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)>;

int usage()
{
    err << "usage: signrelease keygen SECRET_KEY_FILE\n"
           "       signrelease sign SECRET_KEY_FILE PACKAGE\n"
           "       signrelease record [--mirror URL]... [--piece-size BYTES] [--rollout-days N] SECRET_KEY_FILE PACKAGE\n"
           "                          VERSION TIME NOTES_FILE DOWNLOAD_URI [EXPIRES]\n"
           "       signrelease resign RECORD SECRET_KEY_FILE [--expires EXPIRES]\n";
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
    err << "fingerprint " << SignedRecord::fingerprint(publicKey) << '\n';
    return 0;
}

Key readKey(const QString &secretPath)
{
    QFile secretFile(secretPath);
    if (!secretFile.open(QIODevice::ReadOnly)) {
        err << "cannot read " << secretPath << '\n';
        return Key(nullptr, EVP_PKEY_free);
    }
    const QByteArray secret = QByteArray::fromBase64(secretFile.readAll().trimmed());
    Key key(secret.size() == 2 * keySize
                ? EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                               reinterpret_cast<const unsigned char *>(secret.constData()), keySize)
                : nullptr,
            EVP_PKEY_free);
    // The stored public half must belong to the seed, or the file is damaged.
    if (!key || rawKey(key.get(), false) != secret.mid(keySize)) {
        err << secretPath << " holds no Ed25519 key\n";
        return Key(nullptr, EVP_PKEY_free);
    }
    return key;
}

// Base64 of the Ed25519 signature over `size` bytes at `data`; empty on failure.
QString signature(EVP_PKEY *key, const unsigned char *data, size_t size)
{
    unsigned char signature[64];
    size_t length = sizeof signature;
    const Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1
        || EVP_DigestSign(context.get(), signature, &length, data, size) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(signature), static_cast<int>(length)).toBase64());
}

// "Size", "Sha256" and "Signature" of the package, and its pieces' "PieceSize" and
// "PieceSha256" unless `pieceSize` is 0; empty on failure.
QJsonObject packageMembers(EVP_PKEY *key, const QString &packagePath, qint64 pieceSize = 0)
{
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly)) {
        err << "cannot read " << packagePath << '\n';
        return QJsonObject();
    }
    const qint64 size = package.size();
    const unsigned char empty = 0;
    const uchar *data = size > 0 ? package.map(0, size) : &empty;
    if (!data) {
        err << "cannot map " << packagePath << '\n';
        return QJsonObject();
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const QString packageSignature = signature(key, data, static_cast<size_t>(size));
    if (packageSignature.isEmpty()
        || EVP_Digest(data, static_cast<size_t>(size), digest, &digestLength, EVP_sha256(), nullptr) != 1) {
        err << "cannot sign " << packagePath << '\n';
        return QJsonObject();
    }
    QJsonObject members{
        {QStringLiteral("Size"), static_cast<double>(size)},
        {QStringLiteral("Sha256"),
         QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(digestLength)).toHex())},
        {QStringLiteral("Signature"), packageSignature},
    };
    if (pieceSize > 0) {
        QJsonArray pieces;
        for (qint64 offset = 0; offset < size; offset += pieceSize) {
            if (EVP_Digest(data + offset, static_cast<size_t>(qMin(pieceSize, size - offset)), digest, &digestLength,
                           EVP_sha256(), nullptr) != 1) {
                err << "cannot hash " << packagePath << '\n';
                return QJsonObject();
            }
            pieces.append(QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)).toHex()));
        }
        members.insert(QStringLiteral("PieceSize"), static_cast<double>(pieceSize));
        members.insert(QStringLiteral("PieceSha256"), pieces);
    }
    return members;
}

int sign(const QString &secretPath, const QString &packagePath)
{
    const Key key = readKey(secretPath);
    const QJsonObject members = key ? packageMembers(key.get(), packagePath) : QJsonObject();
    if (members.isEmpty())
        return 1;
    out << QJsonDocument(members).toJson(QJsonDocument::Indented);
    return 0;
}

bool wholeNumber(const char *text, qint64 *number)
{
    bool ok = false;
    *number = QByteArray(text).toLongLong(&ok);
    // JSON numbers are doubles: beyond 2^53 they would not arrive as written.
    return ok && *number >= 0 && *number <= (Q_INT64_C(1) << 53);
}

// Seconds since 1970, or a UTC date and time as ISO 8601 has it: 2026-12-01T08:00:00Z, or
// 2026-12-01 for its midnight.
bool timeValue(const char *text, qint64 *seconds)
{
    const QString value = QString::fromLocal8Bit(text);
    QDateTime at = QDateTime::fromString(value, Qt::ISODate);
    if (value.size() == 10)
        at = QDateTime(QDate::fromString(value, Qt::ISODate), QTime(0, 0), Qt::UTC);
    // A date and time without its zone would be read in the signer's own zone.
    if (at.isValid() && (value.size() == 10 || value.endsWith(QLatin1Char('Z')))) {
        *seconds = at.toSecsSinceEpoch();
        return *seconds >= 0;
    }
    return wholeNumber(text, seconds);
}

// As timeValue(), or "+DAYS" from now.
bool expiryTime(const char *text, qint64 *expires)
{
    const QByteArray value(text);
    qint64 days = 0;
    if (value.startsWith('+') && value.endsWith('d') && wholeNumber(value.mid(1, value.size() - 2).constData(), &days)
        && days <= 36500) {
        *expires = QDateTime::currentSecsSinceEpoch() + days * 24 * 3600;
        return true;
    }
    return timeValue(text, expires);
}

// 4 MiB, doubled until 64 pieces cover the package, 64 MiB at most.
qint64 defaultPieceSize(qint64 size)
{
    qint64 piece = smallestDefaultPiece;
    while (piece < UpdateRecord::largestPiece && (size + piece - 1) / piece > mostDefaultPieces)
        piece *= 2;
    return piece;
}

// The version-check body: `top` with `holder` (the record's place, plain members and all) under
// "data" when `wrapped`, or as itself, and the signed pair of `signedRecord` in it. Nothing, with
// the reason on stderr, when the updater would refuse it: what it refuses is not signed.
std::optional<QByteArray> signedBody(EVP_PKEY *key, const QJsonObject &signedRecord, QJsonObject holder, QJsonObject top,
                                     bool wrapped)
{
    const QString malformed = UpdateRecord::fromJson(signedRecord).malformedMember;
    if (!malformed.isEmpty()) {
        err << "the record's " << malformed << " would be refused\n";
        return std::nullopt;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qint64 expires = 0;
    if (!UpdateRecord::exactInteger(signedRecord.value(QLatin1String("Expires")), &expires) || expires <= now
        || expires > now + longestLifetimeSecs) {
        err << "the record would expire at " << expires << ": EXPIRES must be later than now and at most a year ahead\n";
        return std::nullopt;
    }
    const QByteArray signedBytes = QJsonDocument(signedRecord).toJson(QJsonDocument::Compact);
    const QString recordSignature =
        signature(key, reinterpret_cast<const unsigned char *>(signedBytes.constData()), size_t(signedBytes.size()));
    if (recordSignature.isEmpty()) {
        err << "cannot sign the record\n";
        return std::nullopt;
    }
    holder.insert(QStringLiteral("SignedRecord"), QString::fromLatin1(signedBytes.toBase64()));
    holder.insert(QStringLiteral("RecordSignature"), recordSignature);
    if (wrapped)
        top.insert(QStringLiteral("data"), holder);
    const QByteArray body = QJsonDocument(wrapped ? top : holder).toJson(QJsonDocument::Indented);
    if (body.size() > UpdateRecord::maxBytes) {
        err << "the body takes " << body.size() << " bytes, over the updater's " << UpdateRecord::maxBytes
            << ": fewer mirrors, larger pieces or shorter notes\n";
        return std::nullopt;
    }
    if (!SignedRecord::open(holder, rawKey(key, false), now)) {
        err << "the updater would not open the signed record\n";
        return std::nullopt;
    }
    return body;
}

int record(char *argv[], int argc, const QJsonArray &mirrors, std::optional<qint64> pieceSize, int rolloutDays)
{
    const QString secretPath = QString::fromLocal8Bit(argv[2]);
    const QString packagePath = QString::fromLocal8Bit(argv[3]);
    const QString notesPath = QString::fromLocal8Bit(argv[6]);
    qint64 time = 0;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qint64 expires = now + defaultLifetimeSecs;
    if (!timeValue(argv[5], &time) || (argc == 9 && !expiryTime(argv[8], &expires))) {
        err << "TIME and EXPIRES are whole seconds since 1970 or a UTC time such as 2026-12-01T08:00:00Z, or EXPIRES is +DAYS\n";
        return 2;
    }
    QFile notes(notesPath);
    if (!notes.open(QIODevice::ReadOnly)) {
        err << "cannot read " << notesPath << '\n';
        return 1;
    }
    const Key key = readKey(secretPath);
    const qint64 packageSize = QFileInfo(packagePath).size();
    QJsonObject signedRecord = key ? packageMembers(key.get(), packagePath, pieceSize.value_or(defaultPieceSize(packageSize)))
                                   : QJsonObject();
    if (signedRecord.isEmpty())
        return 1;
    // The package's own signature is for updaters that predate signed records.
    const QJsonValue packageSignature = signedRecord.take(QStringLiteral("Signature"));
    signedRecord.insert(QStringLiteral("state"), 1);
    signedRecord.insert(QStringLiteral("Version"), QString::fromLocal8Bit(argv[4]));
    signedRecord.insert(QStringLiteral("Time"), static_cast<double>(time));
    signedRecord.insert(QStringLiteral("UpdateContent"), QString::fromUtf8(notes.readAll()));
    signedRecord.insert(QStringLiteral("DownloadUri"), QString::fromLocal8Bit(argv[7]));
    if (!mirrors.isEmpty())
        signedRecord.insert(QStringLiteral("Mirrors"), mirrors);
    if (rolloutDays > 0) {
        signedRecord.insert(QStringLiteral("RolloutStart"), static_cast<double>(now));
        signedRecord.insert(QStringLiteral("RolloutDays"), rolloutDays);
    }
    signedRecord.insert(QStringLiteral("Expires"), static_cast<double>(expires));

    QJsonObject holder = signedRecord;
    holder.insert(QStringLiteral("Signature"), packageSignature);
    const std::optional<QByteArray> body = signedBody(key.get(), signedRecord, holder, QJsonObject{{QStringLiteral("code"), 0}}, true);
    if (!body)
        return 1;
    out << *body;
    return 0;
}

int resign(const QString &recordPath, const QString &secretPath, const char *expiresText)
{
    qint64 expires = QDateTime::currentSecsSinceEpoch() + defaultLifetimeSecs;
    if (expiresText && !expiryTime(expiresText, &expires)) {
        err << "EXPIRES is whole seconds since 1970, a UTC time such as 2026-12-01T08:00:00Z, or +DAYS\n";
        return 2;
    }
    const Key key = readKey(secretPath);
    if (!key)
        return 1;
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly)) {
        err << "cannot read " << recordPath << '\n';
        return 1;
    }
    const QJsonObject top = QJsonDocument::fromJson(file.read(UpdateRecord::maxBytes + 1)).object();
    // Windows replaces no file that is open.
    file.close();
    const bool wrapped = top.value(QLatin1String("data")).isObject();
    QJsonObject holder = wrapped ? top.value(QLatin1String("data")).toObject() : top;
    std::optional<QJsonObject> signedRecord = SignedRecord::verified(holder, rawKey(key.get(), false));
    if (!signedRecord) {
        err << recordPath << " holds no record signed with this key\n";
        return 1;
    }
    // Only the expiry changes; the plain members follow it where they have one.
    signedRecord->insert(QStringLiteral("Expires"), static_cast<double>(expires));
    if (holder.contains(QLatin1String("Expires")))
        holder.insert(QStringLiteral("Expires"), static_cast<double>(expires));
    const std::optional<QByteArray> body = signedBody(key.get(), *signedRecord, holder, top, wrapped);
    if (!body)
        return 1;
    // A server never sends half of it.
    QSaveFile replacement(recordPath);
    if (!replacement.open(QIODevice::WriteOnly) || replacement.write(*body) != body->size() || !replacement.commit()) {
        err << "cannot replace " << recordPath << ": " << replacement.errorString() << '\n';
        return 1;
    }
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
    if (command == "resign" && (argc == 4 || (argc == 6 && QByteArray(argv[4]) == "--expires")))
        return resign(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), argc == 6 ? argv[5] : nullptr);
    if (command != "record")
        return usage();
    // The options come first; what follows is as it always was.
    QJsonArray mirrors;
    std::optional<qint64> pieceSize;
    qint64 rolloutDays = 0;
    int next = 2;
    for (; next + 1 < argc && QByteArray(argv[next]).startsWith("--"); next += 2) {
        const QByteArray option(argv[next]);
        const QUrl mirror(QString::fromLocal8Bit(argv[next + 1]), QUrl::StrictMode);
        qint64 number = 0;
        if (option == "--mirror" && UpdateRecord::isPackageUrl(mirror) && mirrors.size() < UpdateRecord::maxMirrors) {
            mirrors.append(mirror.toString());
        } else if (option == "--piece-size" && wholeNumber(argv[next + 1], &number)
                   && (number == 0
                       || (number >= UpdateRecord::smallestPiece && number <= UpdateRecord::largestPiece
                           && (number & (number - 1)) == 0))) {
            pieceSize = number;
        } else if (option == "--rollout-days" && wholeNumber(argv[next + 1], &rolloutDays) && rolloutDays >= 1
                   && rolloutDays <= UpdateRecord::maxRolloutDays) {
            continue;
        } else {
            err << "--mirror takes an http(s) URL (8 at most), --piece-size a power of two from 1 MiB to 64 MiB, or 0, "
                   "--rollout-days 1 to 30\n";
            return 2;
        }
    }
    // argv[next - 1] stands where "record" stood for what follows.
    const int rest = argc - next + 2;
    if (rest != 8 && rest != 9)
        return usage();
    return record(argv + next - 2, rest, mirrors, pieceSize, int(rolloutDays));
}
