#include "UpdateRecord.h"

#include "ReleaseNotes.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QRegularExpression>

#include <cmath>

namespace {

// Doubles hold integers exactly up to 2^53.
constexpr double largestExactInteger = 9007199254740992.0;

} // namespace

bool UpdateRecord::exactInteger(const QJsonValue &value, qint64 *integer)
{
    const double number = value.toDouble();
    if (!value.isDouble() || std::fabs(number) > largestExactInteger || std::floor(number) != number)
        return false;
    *integer = static_cast<qint64>(number);
    return true;
}

std::optional<QByteArray> UpdateRecord::base64(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

UpdateRecord UpdateRecord::fromJson(const QJsonObject &json)
{
    UpdateRecord record;
    record.state = json.value(QLatin1String("state")).toInt();
    record.version = json.value(QLatin1String("Version")).toString();
    // Whole seconds in 64 bits, so that releases after 2038 are still offered; anything
    // else leaves 0.
    exactInteger(json.value(QLatin1String("Time")), &record.time);
    record.notes = ReleaseNotes::sanitize(json.value(QLatin1String("UpdateContent")).toString());
    record.downloadUri = json.value(QLatin1String("DownloadUri")).toString();

    const QJsonValue size = json.value(QLatin1String("Size"));
    if (!size.isUndefined()) {
        if (!exactInteger(size, &record.size) || record.size < 0) {
            record.size = -1;
            record.malformedMember = QStringLiteral("Size");
        }
    }

    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    const QJsonValue sha256 = json.value(QLatin1String("Sha256"));
    if (!sha256.isUndefined()) {
        if (sha256.isString() && hex.match(sha256.toString()).hasMatch())
            record.sha256 = QByteArray::fromHex(sha256.toString().toLatin1());
        else
            record.malformedMember = QStringLiteral("Sha256");
    }

    const QJsonValue mirrors = json.value(QLatin1String("Mirrors"));
    if (!mirrors.isUndefined()) {
        bool sound = mirrors.isArray() && mirrors.toArray().size() <= maxMirrors;
        for (const QJsonValue &mirror : mirrors.toArray()) {
            sound = sound && mirror.isString() && isPackageUrl(QUrl(mirror.toString(), QUrl::StrictMode));
            record.mirrors << mirror.toString();
        }
        if (!sound) {
            record.mirrors.clear();
            record.malformedMember = QStringLiteral("Mirrors");
        }
    }

    const QJsonValue pieceSize = json.value(QLatin1String("PieceSize"));
    if (!pieceSize.isUndefined()) {
        if (!exactInteger(pieceSize, &record.pieceSize) || record.pieceSize < smallestPiece || record.pieceSize > largestPiece
            || (record.pieceSize & (record.pieceSize - 1)) != 0) {
            record.pieceSize = 0;
            record.malformedMember = QStringLiteral("PieceSize");
        }
    }

    // One hash for each piece of the package: its size and the pieces' size must be known.
    const QJsonValue pieces = json.value(QLatin1String("PieceSha256"));
    if (!pieces.isUndefined()) {
        const QJsonArray list = pieces.toArray();
        bool sound = pieces.isArray() && record.size >= 0 && record.pieceSize > 0
            && list.size() == (record.size + record.pieceSize - 1) / record.pieceSize;
        for (const QJsonValue &piece : list) {
            sound = sound && piece.isString() && hex.match(piece.toString()).hasMatch();
            record.pieceSha256.push_back(QByteArray::fromHex(piece.toString().toLatin1()));
        }
        if (!sound) {
            record.pieceSha256.clear();
            record.malformedMember = QStringLiteral("PieceSha256");
        }
    }

    // Both rollout members or neither: half a rollout would be guessed at.
    const QJsonValue rolloutStart = json.value(QLatin1String("RolloutStart"));
    const QJsonValue rolloutDays = json.value(QLatin1String("RolloutDays"));
    if (!rolloutStart.isUndefined() || !rolloutDays.isUndefined()) {
        qint64 days = 0;
        if (!exactInteger(rolloutStart, &record.rolloutStart) || record.rolloutStart < 0) {
            record.malformedMember = QStringLiteral("RolloutStart");
        } else if (!exactInteger(rolloutDays, &days) || days < 1 || days > maxRolloutDays) {
            record.malformedMember = QStringLiteral("RolloutDays");
        } else {
            record.rolloutDays = int(days);
        }
        if (record.rolloutDays == 0)
            record.rolloutStart = 0;
    }

    // The package's own signature is no longer what vouches for it (the signed record's
    // hash does), but a malformed one still fails the download, as it always has.
    const QJsonValue signature = json.value(QLatin1String("Signature"));
    if (!signature.isUndefined()) {
        const std::optional<QByteArray> decoded = base64(signature);
        if (!decoded || decoded->size() != 64)
            record.malformedMember = QStringLiteral("Signature");
    }
    return record;
}

bool UpdateRecord::isPackageUrl(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

bool UpdateRecord::offersUpdate(const QString &currentVersion, qint64 currentReleaseTime) const
{
    return state == 1 && version != currentVersion && time > currentReleaseTime;
}

QString UpdateRecord::replayOf(const UpdateRecord &kept) const
{
    if (time < kept.time)
        return QStringLiteral("its Time %1 is older than the Time %2 of the newest record trusted before").arg(time).arg(kept.time);
    if (time == kept.time && (version != kept.version || size != kept.size || sha256 != kept.sha256))
        return QStringLiteral("it has the Time %1 of the newest record trusted before but another Version, Size or Sha256").arg(time);
    return QString();
}

double UpdateRecord::rolloutShare(qint64 now, qint64 start, int days)
{
    if (days <= 0)
        return 1.0;
    if (now <= start)
        return 0.0;
    return qMin(1.0, double(now - start) / (double(days) * 24 * 3600));
}

bool UpdateRecord::rolloutAdmits(quint32 installNumber, qint64 now) const
{
    const double share = rolloutShare(now, rolloutStart, rolloutDays);
    return share >= 1.0 || double(installNumber) < share * 4294967296.0;
}
