#include "UpdateRecord.h"

#include "ReleaseNotes.h"

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

    const QJsonValue sha256 = json.value(QLatin1String("Sha256"));
    if (!sha256.isUndefined()) {
        static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
        if (sha256.isString() && hex.match(sha256.toString()).hasMatch())
            record.sha256 = QByteArray::fromHex(sha256.toString().toLatin1());
        else
            record.malformedMember = QStringLiteral("Sha256");
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

bool UpdateRecord::offersUpdate(const QString &currentVersion, qint64 currentReleaseTime) const
{
    return state == 1 && version != currentVersion && time > currentReleaseTime;
}
