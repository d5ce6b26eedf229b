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

#include <algorithm>
#include <limits>


namespace {

// Bytes read back for the hash at a time.
constexpr int pieceSize = 1024 * 1024;
// Read back per write at most, so that catching up never holds the window for long: the
// edge moves faster than bytes arrive.
constexpr qint64 catchUpPerWrite = 4 * pieceSize;

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

QNetworkRequest PackageDownload::request(const QUrl &url, const Span &span) const
{
    QNetworkRequest request = SafeGet::request(url);
    if (span.end == 0)
        return request;
    const QByteArray last = span.end == totalBytes ? QByteArray() : QByteArray::number(span.end - 1);
    request.setRawHeader("Range", "bytes=" + QByteArray::number(span.begin) + '-' + last);
    request.setRawHeader("If-Range", validator);
    return request;
}

Answer::Verdict PackageDownload::judge(const QNetworkReply &reply, const Span &asked)
{
    Answer::Verdict verdict;
    verdict.total = totalBytes;
    verdict.validator = validator;
    if (const MaybeFailure redirect = redirectFailure(reply)) {
        verdict.failure = redirect;
        return verdict;
    }
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // No HTTP answer at all: nothing to judge here, the transfer failed.
    if (status == 0)
        return verdict;
    Answer::Header header;
    header.status = status;
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    header.contentLength = length.isValid() ? length.toLongLong() : -1;
    header.contentRange = reply.rawHeader("Content-Range");
    header.etag = reply.rawHeader("ETag");
    header.lastModified = reply.rawHeader("Last-Modified");
    header.acceptRanges = reply.rawHeader("Accept-Ranges");
    verdict = Answer::judge(header, {asked.begin, asked.end, totalBytes, validator, record.size, record.vouched, sizeLimit});
    if (verdict.failure)
        return verdict;
    // The whole package again over bytes kept: they stay only if it is the same package.
    if (verdict.startOver
        || (asked.end == 0 && receivedBytes > 0 && (verdict.validator != validator || verdict.total != totalBytes)))
        startOver();
    if (status == 200)
        rangesServed = verdict.servesRanges;
    else
        rangeAccepted = true;
    totalBytes = verdict.total;
    validator = verdict.validator;
    // A length known in advance that the disk cannot take fails now, not once the disk is full.
    const qint64 available = QStorageInfo(QFileInfo(packagePath).absolutePath()).bytesAvailable();
    if (totalBytes >= 0 && available >= 0 && totalBytes - receivedBytes > available)
        verdict.failure = DownloadFailure{DownloadFailure::DiskFull};
    return verdict;
}

MaybeFailure PackageDownload::write(qint64 offset, const char *data, qint64 size)
{
    // A body longer than the package's length is cut off: it cannot be the package.
    if (totalBytes >= 0 && offset + size > totalBytes)
        return DownloadFailure{DownloadFailure::SizeMismatch};
    if (totalBytes < 0 && offset + size > sizeLimit)
        return DownloadFailure{DownloadFailure::TooLarge};
    // Only the gaps: a whole package that follows a split one brings bytes already in.
    std::vector<Span> gaps;
    qint64 at = offset;
    auto next = in.upper_bound(at);
    if (next != in.begin() && std::prev(next)->second > at)
        at = std::prev(next)->second;
    for (; at < offset + size; ++next) {
        const qint64 gapEnd = next == in.end() ? offset + size : qMin(offset + size, next->first);
        if (gapEnd > at)
            gaps.push_back({at, gapEnd});
        if (next == in.end())
            break;
        at = qMax(at, next->second);
    }
    for (const Span &gap : gaps)
        if (const MaybeFailure unstored = store(gap.begin, data + (gap.begin - offset), gap.size()))
            return unstored;
    return std::nullopt;
}

MaybeFailure PackageDownload::store(qint64 offset, const char *data, qint64 size)
{
    if ((file->pos() != offset && !file->seek(offset)) || file->write(data, size) != size)
        return DownloadFailure{DownloadFailure::DiskFull};
    qint64 begin = offset;
    qint64 end = offset + size;
    auto next = in.lower_bound(begin);
    if (next != in.begin() && std::prev(next)->second >= begin) {
        begin = std::prev(next)->first;
        end = qMax(end, std::prev(next)->second);
        in.erase(std::prev(next));
    }
    while (next != in.end() && next->first <= end) {
        end = qMax(end, next->second);
        next = in.erase(next);
    }
    in[begin] = end;
    receivedBytes += size;
    hashInOrder(offset, data, size, catchUpPerWrite);
    // Reading back for the hash can fail too.
    return failed;
}

// The hash sees the file from its first byte on: bytes written at its edge straight away,
// bytes that came earlier further on read back once the edge reaches them.
void PackageDownload::hashInOrder(qint64 offset, const char *data, qint64 size, qint64 readLimit)
{
    if (offset == hashed && size > 0) {
        verifier->addData(data, size);
        hashed += size;
    }
    const auto first = in.begin();
    if (first == in.end() || first->first != 0)
        return;
    const qint64 edge = first->second;
    while (hashed < edge && readLimit > 0) {
        const qint64 piece = std::min({edge - hashed, qint64(buffer.size()), readLimit});
        if (!file->seek(hashed) || file->read(buffer.data(), piece) != piece) {
            fail({DownloadFailure::Unreadable});
            return;
        }
        verifier->addData(buffer.data(), piece);
        hashed += piece;
        readLimit -= piece;
    }
}

void PackageDownload::endsAt(qint64 length)
{
    if (totalBytes < 0)
        totalBytes = length;
}

void PackageDownload::fail(const DownloadFailure &cause)
{
    // The first cause is the one: what follows (an aborted reply) is its consequence.
    if (!failed)
        failed = cause;
}

MaybeFailure PackageDownload::finish()
{
    if (!failed && !complete())
        fail({DownloadFailure::Incomplete, true});
    if (!failed && !file->flush())
        fail({DownloadFailure::DiskFull});
    if (!failed)
        hashInOrder(0, nullptr, 0, totalBytes);
    if (!failed)
        checkPackage();
    if (failed && !canResume())
        discard();
    return failed;
}

std::vector<PackageDownload::Span> PackageDownload::missing() const
{
    const qint64 end = totalBytes >= 0 ? totalBytes : std::numeric_limits<qint64>::max();
    std::vector<Span> spans;
    qint64 at = 0;
    for (const auto &[begin, spanEnd] : in) {
        if (begin > at)
            spans.push_back({at, begin});
        at = spanEnd;
    }
    if (at < end)
        spans.push_back({at, end});
    return spans;
}

void PackageDownload::checkPackage()
{
    switch (InstallerPackage::defect(*file, receivedBytes)) {
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
    switch (verifier->verify(receivedBytes)) {
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
    return file && failed && failed->resumable && receivedBytes > 0 && receivedBytes < totalBytes
        && !validator.isEmpty();
}

void PackageDownload::startOver()
{
    file->resize(0);
    file->seek(0);
    verifier = std::make_unique<PackageVerifier>(record);
    in.clear();
    receivedBytes = 0;
    hashed = 0;
}

void PackageDownload::discard()
{
    // QTemporaryFile removes the file with the object.
    file.reset();
    verifier.reset();
    in.clear();
    receivedBytes = 0;
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
