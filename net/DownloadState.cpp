#include "DownloadState.h"

#include "Answer.h"
#include "OwnFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {

const QString format = QStringLiteral("quorilex-partial-download 1");
// A state file is a few hundred bytes; anything much larger is not one.
constexpr qint64 largestStateFile = 64 * 1024;

} // namespace

QByteArray DownloadState::toJson() const
{
    QJsonArray in;
    for (const Span &span : spans.spans()) {
        if (in.size() == maxSpans)
            break;
        in.append(QJsonArray{double(span.begin), double(span.end)});
    }
    const QJsonObject object{
        {QStringLiteral("format"), format},
        {QStringLiteral("url"), url},
        {QStringLiteral("size"), double(size)},
        {QStringLiteral("sha256"), QString::fromLatin1(sha256.toHex())},
        {QStringLiteral("validator"), QString::fromLatin1(validator)},
        {QStringLiteral("length"), double(length)},
        {QStringLiteral("ranges"), servesRanges},
        {QStringLiteral("spans"), in},
        {QStringLiteral("saved"), double(savedAt)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<DownloadState> DownloadState::fromJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    DownloadState state;
    const QJsonValue hash = object.value(QStringLiteral("sha256"));
    const QJsonValue validator = object.value(QStringLiteral("validator"));
    if (object.value(QStringLiteral("format")).toString() != format || !object.value(QStringLiteral("url")).isString()
        || !hash.isString() || !validator.isString() || !object.value(QStringLiteral("ranges")).isBool()
        || !UpdateRecord::exactInteger(object.value(QStringLiteral("size")), &state.size)
        || !UpdateRecord::exactInteger(object.value(QStringLiteral("length")), &state.length)
        || !UpdateRecord::exactInteger(object.value(QStringLiteral("saved")), &state.savedAt))
        return std::nullopt;
    state.url = object.value(QStringLiteral("url")).toString();
    state.sha256 = QByteArray::fromHex(hash.toString().toLatin1());
    state.validator = validator.toString().toLatin1();
    state.servesRanges = object.value(QStringLiteral("ranges")).toBool();
    // The validator goes back to the server in a header: only one it could have sent.
    if (state.url.isEmpty() || state.size < -1 || state.length <= 0
        || (!hash.toString().isEmpty() && state.sha256.toHex() != hash.toString().toLatin1())
        || (!state.sha256.isEmpty() && state.sha256.size() != 32)
        || (!Answer::isStrongEntityTag(state.validator) && !Answer::isHttpDate(state.validator)))
        return std::nullopt;
    const QJsonArray in = object.value(QStringLiteral("spans")).toArray();
    if (in.size() > maxSpans)
        return std::nullopt;
    qint64 last = 0;
    for (const QJsonValue &value : in) {
        const QJsonArray pair = value.toArray();
        Span span;
        if (pair.size() != 2 || !UpdateRecord::exactInteger(pair[0], &span.begin)
            || !UpdateRecord::exactInteger(pair[1], &span.end) || span.begin < last || span.end <= span.begin
            || span.end > state.length)
            return std::nullopt;
        state.spans.insert(span);
        last = span.end;
    }
    // Nothing in, or everything: nothing to go on with.
    if (state.spans.size() == 0 || state.spans.size() >= state.length)
        return std::nullopt;
    return state;
}

bool DownloadState::write(const QString &path) const
{
    return OwnFile::replace(path, toJson());
}

std::optional<DownloadState> DownloadState::read(const QString &path)
{
    const std::unique_ptr<QFile> file = OwnFile::open(path, QIODevice::ReadOnly);
    if (!file || file->size() > largestStateFile)
        return std::nullopt;
    return fromJson(file->read(largestStateFile));
}

QString DownloadState::addressOf(const QString &downloadUri)
{
    return QUrl(downloadUri, QUrl::TolerantMode).adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
}

bool DownloadState::isFor(const UpdateRecord &record) const
{
    return url == addressOf(record.downloadUri) && size == record.size && sha256 == record.sha256;
}
