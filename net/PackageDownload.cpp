#include "PackageDownload.h"

#include "trust/InstallerPackage.h"
#include "trust/PackageVerifier.h"
#include "PartialFile.h"
#include "RedirectGuard.h"
#include "SafeGet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <algorithm>

namespace {

// Half the reply's read-ahead: a gigabyte costs few system calls and few hand-backs to
// Qt's network thread (measured: steadier than 256 KiB pieces, no slower).
constexpr int pieceSize = 1024 * 1024;

// Why the answer is not the package, from its status alone.
QString statusFailure(const QNetworkReply &reply)
{
    // Refused redirects end with the redirect's own status; say what really happened.
    if (RedirectGuard::refused(reply))
        return QStringLiteral("下载地址被重定向到不安全的地址");
    if (reply.error() == QNetworkReply::TooManyRedirectsError)
        return QStringLiteral("下载地址重定向次数过多");
    return QString();
}

int httpStatus(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

qint64 contentLength(const QNetworkReply &reply)
{
    const QVariant announced = reply.header(QNetworkRequest::ContentLengthHeader);
    return announced.isValid() ? announced.toLongLong() : -1;
}

// A strong entity-tag: DQUOTE *etagc DQUOTE, etagc being %x21 / %x23-7E / %x80-FF.
bool isStrongEntityTag(const QByteArray &value)
{
    if (value.size() < 2 || !value.startsWith('"') || !value.endsWith('"'))
        return false;
    return std::all_of(value.begin() + 1, value.end() - 1, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == 0x21 || (byte >= 0x23 && byte <= 0x7E) || byte >= 0x80;
    });
}

// An HTTP date in any of its three forms, naming a day that exists.
bool isHttpDate(const QByteArray &value)
{
    static const QRegularExpression imfFixdate(QRegularExpression::anchoredPattern(
        QStringLiteral("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT")));
    static const QRegularExpression rfc850(QRegularExpression::anchoredPattern(
        QStringLiteral("(Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday), \\d{2}-[A-Z][a-z]{2}-\\d{2} "
                       "\\d{2}:\\d{2}:\\d{2} GMT")));
    static const QRegularExpression asctime(QRegularExpression::anchoredPattern(
        QStringLiteral("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ \\d]\\d \\d{2}:\\d{2}:\\d{2} \\d{4}")));
    const QString text = QString::fromLatin1(value);
    const QLocale c = QLocale::c();
    if (imfFixdate.match(text).hasMatch())
        return c.toDateTime(text, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'")).isValid();
    if (rfc850.match(text).hasMatch())
        return c.toDateTime(text, QStringLiteral("dddd, dd-MMM-yy hh:mm:ss 'GMT'")).isValid();
    if (asctime.match(text).hasMatch())
        return c.toDateTime(QString(text).replace(QStringLiteral("  "), QStringLiteral(" 0")),
                            QStringLiteral("ddd MMM dd hh:mm:ss yyyy")).isValid();
    return false;
}

} // namespace

PackageDownload::PackageDownload(const UpdateRecord &record, const QString &path, qint64 sizeLimit)
    : record(record)
    , packagePath(path)
    , sizeLimit(sizeLimit)
    , totalBytes(record.size)
{
}

PackageDownload::~PackageDownload() = default;

QStringList PackageDownload::places(const QString &path)
{
    // A standard user cannot write where a per-machine install lives, and Windows does not
    // redirect the writes of a program that asks for no elevation: a folder of the user's own.
    QStringList places{path};
    const QString name = QFileInfo(path).fileName();
    for (const auto location : {QStandardPaths::DownloadLocation, QStandardPaths::TempLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        if (!folder.isEmpty())
            places << QDir(folder).filePath(name);
    }
    return places;
}

QString PackageDownload::open()
{
    // Written under a name of its own beside the package, so a partial package never carries
    // the package's name. Only a folder that cannot take the file at all is passed over: a
    // full disk shows as a failed write, and the same disk would be full elsewhere too.
    for (const QString &place : places(packagePath)) {
        file = std::make_unique<QTemporaryFile>(PartialFile::templateFor(place));
        if (file->open()) {
            PartialFile::hold(*file);
            packagePath = place;
            break;
        }
        file.reset();
    }
    if (!file)
        return QStringLiteral("无法创建安装包文件");
    if (QFile::exists(packagePath) && !QFile::remove(packagePath)) {
        file.reset();
        return QStringLiteral("无法删除旧的安装包");
    }
    verifier = std::make_unique<PackageVerifier>(record);
    buffer.resize(pieceSize);
    return QString();
}

QNetworkRequest PackageDownload::request(const QUrl &url)
{
    QNetworkRequest request = SafeGet::request(url);
    offset = received;
    accepted = false;
    failure.clear();
    resumable = false;
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        request.setRawHeader("If-Range", validator);
    }
    return request;
}

QString PackageDownload::receive(QNetworkReply &reply)
{
    while (failure.isEmpty() && reply.bytesAvailable() > 0) {
        const QString refused = acceptOnce(reply);
        if (!refused.isEmpty()) {
            fail(refused, false);
            break;
        }
        const qint64 size = reply.read(buffer.data(), pieceSize);
        if (size <= 0)
            break;
        const QString cause = store(buffer.data(), size);
        if (!cause.isEmpty())
            fail(cause, false);
    }
    return failure;
}

// Decides, once the answer's header is in, whether its body continues the package.
QString PackageDownload::acceptOnce(const QNetworkReply &reply)
{
    if (accepted)
        return QString();
    accepted = true;
    QString cause = statusFailure(reply);
    if (!cause.isEmpty())
        return cause;
    const int status = httpStatus(reply);
    // No HTTP answer at all: nothing to judge here, the transfer failed.
    if (status == 0)
        return QString();
    const bool rangeAsked = offset > 0;
    if (rangeAsked && status == 206)
        cause = acceptRange(reply);
    else if (status != 200)
        // Only 200 carries the whole package; 206 Partial Content to a plain GET is a part of it.
        return QStringLiteral("服务器返回 HTTP %1").arg(status);
    else
        cause = acceptWhole(reply);
    if (!cause.isEmpty())
        return cause;
    // A length known in advance that the disk cannot take fails now, not once the disk is full.
    const qint64 available = QStorageInfo(QFileInfo(packagePath).absolutePath()).bytesAvailable();
    if (totalBytes >= 0 && available >= 0 && totalBytes - received > available)
        return QStringLiteral("写入失败，磁盘可能已满");
    return QString();
}

QString PackageDownload::acceptWhole(const QNetworkReply &reply)
{
    // The server ignored the range, or the package changed since: the whole of it again.
    if (offset > 0)
        startOver();
    const qint64 announced = contentLength(reply);
    if (record.size >= 0 && announced >= 0 && announced != record.size)
        return QStringLiteral("安装包大小不符");
    totalBytes = record.size >= 0 ? record.size : announced;
    // Only the publisher's signed word makes a package beyond the limit believable.
    if (!record.vouched && totalBytes > sizeLimit)
        return QStringLiteral("安装包过大，已停止下载");
    // Sent back in If-Range only when well formed: a weak ETag may not be used there, and
    // a value holding a CR or a NUL would let the server write headers into our request.
    const QByteArray etag = reply.rawHeader("ETag");
    const QByteArray modified = reply.rawHeader("Last-Modified");
    validator = isStrongEntityTag(etag) ? etag : isHttpDate(modified) ? modified : QByteArray();
    return QString();
}

QString PackageDownload::acceptRange(const QNetworkReply &reply) const
{
    static const QRegularExpression contentRange(QStringLiteral("^bytes (\\d{1,18})-(\\d{1,18})/(\\d{1,18})$"));
    const QRegularExpressionMatch match = contentRange.match(QString::fromLatin1(reply.rawHeader("Content-Range")));
    const QByteArray etag = reply.rawHeader("ETag");
    const qint64 announced = contentLength(reply);
    const bool fits = match.hasMatch() && match.captured(1).toLongLong() == offset
        && match.captured(2).toLongLong() == totalBytes - 1 && match.captured(3).toLongLong() == totalBytes
        && (announced < 0 || announced == totalBytes - offset)
        && (etag.isEmpty() || !validator.startsWith('"') || etag == validator);
    return fits ? QString() : QStringLiteral("服务器续传的范围不符");
}

QString PackageDownload::store(const char *data, qint64 size)
{
    // A body longer than the package's length is cut off: it cannot be the package.
    if (totalBytes >= 0 && received + size > totalBytes)
        return QStringLiteral("安装包大小不符");
    if (totalBytes < 0 && received + size > sizeLimit)
        return QStringLiteral("安装包过大，已停止下载");
    if (file->write(data, size) != size)
        return QStringLiteral("写入失败，磁盘可能已满");
    verifier->addData(data, size);
    received += size;
    return QString();
}

void PackageDownload::fail(const QString &cause, bool canContinue)
{
    if (!failure.isEmpty())
        return;
    failure = cause;
    resumable = canContinue;
}

QString PackageDownload::finish(QNetworkReply &reply)
{
    QString cause = receive(reply);
    if (cause.isEmpty())
        cause = transferFailure(reply);
    if (cause.isEmpty() && !file->flush())
        cause = QStringLiteral("写入失败，磁盘可能已满");
    if (cause.isEmpty())
        cause = InstallerPackage::defect(*file, received);
    if (cause.isEmpty())
        cause = verifier->verify(received);
    fail(cause, false);
    if (!failure.isEmpty() && !canResume())
        discard();
    return failure;
}

// Why an answer whose status was fine still did not bring the package; a transfer that
// broke off after sound bytes can go on from them.
QString PackageDownload::transferFailure(QNetworkReply &reply)
{
    const QString refused = acceptOnce(reply);
    if (!refused.isEmpty())
        return refused;
    const qint64 announced = contentLength(reply);
    if ((announced >= 0 && attemptBytes() != announced) || (totalBytes >= 0 && received < totalBytes)) {
        fail(QStringLiteral("下载不完整"), true);
        return failure;
    }
    if (reply.error() != QNetworkReply::NoError || httpStatus(reply) == 0) {
        fail(QStringLiteral("网络连接失败"), true);
        return failure;
    }
    return QString();
}

bool PackageDownload::canResume() const
{
    return file && resumable && received > 0 && received < totalBytes && !validator.isEmpty();
}

void PackageDownload::startOver()
{
    file->resize(0);
    file->seek(0);
    verifier = std::make_unique<PackageVerifier>(record);
    received = 0;
    offset = 0;
}

void PackageDownload::discard()
{
    // QTemporaryFile removes the file with the object.
    file.reset();
    verifier.reset();
    received = 0;
}

QString PackageDownload::save()
{
    // Stale packages were deleted before the download; one may have come back since.
    QFile::remove(packagePath);
    file->setAutoRemove(false);
    if (!file->rename(packagePath)) {
        file->remove();
        return QStringLiteral("无法保存安装包");
    }
    file.reset();
    return QString();
}
