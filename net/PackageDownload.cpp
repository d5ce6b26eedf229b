#include "PackageDownload.h"

#include "Answer.h"
#include "PartialFile.h"
#include "RedirectGuard.h"
#include "SafeGet.h"
#include "trust/InstallerPackage.h"
#include "trust/PackageVerifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryFile>


namespace {

// Half the reply's read-ahead: a gigabyte costs few system calls and few hand-backs to
// Qt's network thread (measured: steadier than 256 KiB pieces, no slower).
constexpr int pieceSize = 1024 * 1024;

// A redirect that was not followed: the reply ends with the redirect's own status.
MaybeFailure redirectFailure(const QNetworkReply &reply)
{
    if (RedirectGuard::refused(reply))
        return DownloadFailure{DownloadFailure::UnsafeRedirect};
    if (reply.error() == QNetworkReply::TooManyRedirectsError)
        return DownloadFailure{DownloadFailure::TooManyRedirects};
    return std::nullopt;
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

MaybeFailure PackageDownload::open()
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
        return DownloadFailure{DownloadFailure::CannotCreateFile};
    if (QFile::exists(packagePath) && !QFile::remove(packagePath)) {
        file.reset();
        return DownloadFailure{DownloadFailure::CannotDeleteOldPackage};
    }
    verifier = std::make_unique<PackageVerifier>(record);
    buffer.resize(pieceSize);
    return std::nullopt;
}

QNetworkRequest PackageDownload::request(const QUrl &url)
{
    QNetworkRequest request = SafeGet::request(url);
    offset = received;
    accepted = false;
    failure.reset();
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        request.setRawHeader("If-Range", validator);
    }
    return request;
}

MaybeFailure PackageDownload::receive(QNetworkReply &reply)
{
    while (!failure && reply.bytesAvailable() > 0) {
        if (const MaybeFailure refused = acceptOnce(reply)) {
            fail(*refused);
            break;
        }
        const qint64 size = reply.read(buffer.data(), pieceSize);
        if (size <= 0)
            break;
        if (const MaybeFailure unstored = store(buffer.data(), size))
            fail(*unstored);
    }
    return failure;
}

// Decides, once the answer's header is in, whether its body continues the package.
MaybeFailure PackageDownload::acceptOnce(const QNetworkReply &reply)
{
    if (accepted)
        return std::nullopt;
    accepted = true;
    if (const MaybeFailure redirect = redirectFailure(reply))
        return redirect;
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // No HTTP answer at all: nothing to judge here, the transfer failed.
    if (status == 0)
        return std::nullopt;
    Answer::Header header;
    header.status = status;
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    header.contentLength = length.isValid() ? length.toLongLong() : -1;
    header.contentRange = reply.rawHeader("Content-Range");
    header.etag = reply.rawHeader("ETag");
    header.lastModified = reply.rawHeader("Last-Modified");
    const Answer::Verdict verdict
        = Answer::judge(header, {offset, totalBytes, validator, record.size, record.vouched, sizeLimit});
    if (verdict.failure)
        return verdict.failure;
    if (verdict.startOver)
        startOver();
    totalBytes = verdict.total;
    validator = verdict.validator;
    // A length known in advance that the disk cannot take fails now, not once the disk is full.
    const qint64 available = QStorageInfo(QFileInfo(packagePath).absolutePath()).bytesAvailable();
    if (totalBytes >= 0 && available >= 0 && totalBytes - received > available)
        return DownloadFailure{DownloadFailure::DiskFull};
    return std::nullopt;
}

MaybeFailure PackageDownload::store(const char *data, qint64 size)
{
    // A body longer than the package's length is cut off: it cannot be the package.
    if (totalBytes >= 0 && received + size > totalBytes)
        return DownloadFailure{DownloadFailure::SizeMismatch};
    if (totalBytes < 0 && received + size > sizeLimit)
        return DownloadFailure{DownloadFailure::TooLarge};
    if (file->write(data, size) != size)
        return DownloadFailure{DownloadFailure::DiskFull};
    verifier->addData(data, size);
    received += size;
    return std::nullopt;
}

void PackageDownload::fail(const DownloadFailure &cause)
{
    // The first cause is the one: what follows (an aborted reply) is its consequence.
    if (!failure)
        failure = cause;
}

MaybeFailure PackageDownload::finish(QNetworkReply &reply)
{
    receive(reply);
    if (!failure)
        transferFailure(reply);
    if (!failure && !file->flush())
        fail({DownloadFailure::DiskFull});
    if (!failure)
        checkPackage();
    if (failure && !canResume())
        discard();
    return failure;
}

// Why an answer whose status was fine still did not bring the package; a transfer that
// broke off after sound bytes can go on from them.
void PackageDownload::transferFailure(QNetworkReply &reply)
{
    if (const MaybeFailure refused = acceptOnce(reply)) {
        fail(*refused);
        return;
    }
    // A body that began and stopped short is incomplete; when nothing came at all (a refused
    // certificate or connection) the network is the cause, not the file.
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    const bool cutShort = (length.isValid() && attemptBytes() != length.toLongLong())
        || (totalBytes >= 0 && received < totalBytes);
    const bool transportFailed = reply.error() != QNetworkReply::NoError
        || reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 0;
    if (cutShort && (attemptBytes() > 0 || !transportFailed))
        fail({DownloadFailure::Incomplete, true});
    else if (transportFailed)
        fail({DownloadFailure::NetworkFailure, true});
}

void PackageDownload::checkPackage()
{
    switch (InstallerPackage::defect(*file, received)) {
    case InstallerPackage::Defect::None:
        break;
    case InstallerPackage::Defect::Foreign:
        fail({DownloadFailure::NotAnInstaller});
        return;
    case InstallerPackage::Defect::CutShort:
        fail({DownloadFailure::Incomplete});
        return;
    case InstallerPackage::Defect::Unreadable:
        fail({DownloadFailure::Unreadable});
        return;
    }
    switch (verifier->verify(received)) {
    case PackageVerifier::Verdict::Sound:
        break;
    case PackageVerifier::Verdict::MalformedMember:
        fail({DownloadFailure::MalformedMember, false, 0, record.malformedMember});
        break;
    case PackageVerifier::Verdict::SizeMismatch:
        fail({DownloadFailure::SizeMismatch});
        break;
    case PackageVerifier::Verdict::HashMismatch:
        fail({DownloadFailure::HashMismatch});
        break;
    }
}

bool PackageDownload::canResume() const
{
    return file && failure && failure->resumable && received > 0 && received < totalBytes && !validator.isEmpty();
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

MaybeFailure PackageDownload::save()
{
    // Stale packages were deleted before the download; one may have come back since.
    QFile::remove(packagePath);
    file->setAutoRemove(false);
    if (!file->rename(packagePath)) {
        file->remove();
        return DownloadFailure{DownloadFailure::CannotSave};
    }
    file.reset();
    return std::nullopt;
}
