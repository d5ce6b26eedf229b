#include "CheckMemory.h"

#include "net/Logging.h"
#include "net/OwnFile.h"
#include "trust/SignedRecord.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace {

const QString recordName = QStringLiteral("record.json");
const QString numberName = QStringLiteral("install-number");
// The signed pair of the largest record the check reads, in base64, and the validators.
constexpr qint64 largestRecordFile = UpdateRecord::maxBytes * 3 / 2 + 64 * 1024;

} // namespace

CheckMemory::CheckMemory(const QString &folder)
    : folder(folder)
{
}

QString CheckMemory::path(const QString &name) const
{
    return QDir(folder).filePath(name);
}

std::optional<QByteArray> CheckMemory::read(const QString &name, qint64 limit) const
{
    if (folder.isEmpty())
        return std::nullopt;
    const std::unique_ptr<QFile> file = OwnFile::open(path(name), QIODevice::ReadOnly);
    if (!file)
        return std::nullopt;
    const QByteArray bytes = file->read(limit + 1);
    if (bytes.size() > limit)
        return std::nullopt;
    return bytes;
}

std::optional<CheckMemory::Kept> CheckMemory::record(const QByteArray &publicKey) const
{
    const std::optional<QByteArray> bytes = read(recordName, largestRecordFile);
    if (!bytes)
        return std::nullopt;
    const QJsonObject json = QJsonDocument::fromJson(*bytes).object();
    const std::optional<UpdateRecord> record = SignedRecord::open(json, publicKey, std::nullopt);
    if (!record) {
        qCInfo(lcCheck).noquote() << "the kept record" << path(recordName) << "is torn or not the publisher's: not used";
        return std::nullopt;
    }
    return Kept{QJsonObject{{QStringLiteral("SignedRecord"), json.value(QLatin1String("SignedRecord"))},
                            {QStringLiteral("RecordSignature"), json.value(QLatin1String("RecordSignature"))}},
                *record, json.value(QLatin1String("ETag")).toString().toLatin1(),
                json.value(QLatin1String("Last-Modified")).toString().toLatin1()};
}

void CheckMemory::keep(const QJsonObject &body, const QByteArray &etag, const QByteArray &lastModified) const
{
    if (folder.isEmpty())
        return;
    const QJsonObject kept{{QStringLiteral("SignedRecord"), body.value(QLatin1String("SignedRecord"))},
                           {QStringLiteral("RecordSignature"), body.value(QLatin1String("RecordSignature"))},
                           {QStringLiteral("ETag"), QString::fromLatin1(etag)},
                           {QStringLiteral("Last-Modified"), QString::fromLatin1(lastModified)}};
    if (!QDir().mkpath(folder) || !OwnFile::replace(path(recordName), QJsonDocument(kept).toJson(QJsonDocument::Compact)))
        qCWarning(lcCheck).noquote() << "cannot keep the record in" << path(recordName)
                                     << ": the next check has no floor against replays";
}

std::optional<quint32> CheckMemory::installNumber() const
{
    if (const std::optional<QByteArray> text = read(numberName, 16)) {
        bool ok = false;
        const quint32 number = text->trimmed().toUInt(&ok);
        if (ok)
            return number;
    }
    if (folder.isEmpty())
        return std::nullopt;
    const quint32 number = QRandomGenerator::system()->generate();
    if (!QDir().mkpath(folder) || !OwnFile::replace(path(numberName), QByteArray::number(number) + '\n')) {
        qCWarning(lcCheck).noquote() << "cannot keep this install's number in" << path(numberName);
        return std::nullopt;
    }
    return number;
}
