#include "PackageDownload.h"

#include "Comm.h"
#include "InstallerPackage.h"
#include "PackageVerifier.h"
#include "PartialFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

// Half the reply's read-ahead: a gigabyte costs few system calls and few hand-backs to
// Qt's network thread (measured: steadier than 256 KiB pieces, no slower).
constexpr int pieceSize = 1024 * 1024;

// Why the answer is not the package, from its status alone.
QString statusFailure(const QNetworkReply &reply)
{
    // Refused redirects end with the redirect's own status; say what really happened.
    if (reply.error() == QNetworkReply::InsecureRedirectError)
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

} // namespace

PackageDownload::PackageDownload(const UpdateRecord &record, const QString &path, qint64 undeclaredSizeLimit)
    : record(record)
    , packagePath(path)
    , undeclaredSizeLimit(undeclaredSizeLimit)
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
    QNetworkRequest request = Comm::safeRequest(url);
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
        return acceptRange(reply);
    // Only 200 carries the whole package; 206 Partial Content to a plain GET is a part of it.
    if (status != 200)
        return QStringLiteral("服务器返回 HTTP %1").arg(status);
    // The server ignored the range, or the package changed since: the whole of it again.
    if (rangeAsked)
        startOver();
    const qint64 announced = contentLength(reply);
    if (record.size >= 0 && announced >= 0 && announced != record.size)
        return QStringLiteral("安装包大小不符");
    totalBytes = record.size >= 0 ? record.size : announced;
    // A weak ETag may not be used in If-Range.
    const QByteArray etag = reply.rawHeader("ETag");
    validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply.rawHeader("Last-Modified");
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
    if (totalBytes < 0 && received + size > undeclaredSizeLimit)
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
