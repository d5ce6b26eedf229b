#include "PackageDownload.h"

#include "Answer.h"
#include "Logging.h"
#include "PackageChecks.h"
#include "RedirectGuard.h"
#include "RetryPolicy.h"
#include "SafeGet.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>

#include <algorithm>
#include <limits>


namespace {

// Bytes go to the file at most this many at a time: in writes of a megabyte, a gigabyte took
// Linux in a virtual machine 2-7 s in one run of three (the cache then takes blocks as large,
// which its host may have taken back), never over 0.2 s in writes of 256 KiB.
constexpr qint64 writeSlice = 256 * 1024;

// A redirect that was not followed: the reply ends with the redirect's own status.
MaybeFailure redirectFailure(const QNetworkReply &reply)
{
    const QString detail = forLog(reply.url()) + QStringLiteral(" redirects to ")
        + forLog(reply.url().resolved(reply.attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl()));
    if (RedirectGuard::refused(reply))
        return Failure(Failure::UnsafeRedirect, detail);
    if (reply.error() == QNetworkReply::TooManyRedirectsError)
        return Failure(Failure::TooManyRedirects, detail);
    return std::nullopt;
}

// What an answer said, for the log.
QString describe(const QNetworkReply &reply)
{
    QString text = QStringLiteral("HTTP %1 %2 from %3")
                       .arg(reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())
                       .arg(fromServer(reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()), forLog(reply.url()));
    for (const char *name : {"Content-Length", "Transfer-Encoding", "Content-Range", "ETag", "Last-Modified", "Accept-Ranges", "Retry-After"})
        if (reply.hasRawHeader(name))
            text += QStringLiteral(", %1: %2").arg(QLatin1String(name), fromServer(QString::fromLatin1(reply.rawHeader(name))));
    return text;
}

} // namespace

PackageDownload::PackageDownload(const UpdateRecord &record, const QString &path, qint64 sizeLimit)
    : record(record)
    , askedPath(path)
    , sizeLimit(sizeLimit)
    , checks(std::make_unique<PackageChecks>(record))
{
    facts.total = record.size;
    facts.pieceSize = checks->active() ? record.pieceSize : 0;
}

PackageDownload::~PackageDownload()
{
    // Stopped midway, by a close or a failure that another run may get past: the bytes stay.
    if (keepable()) {
        keepState(true);
        qCInfo(lcDownload).noquote() << "kept for the next run:" << kept.partialPath() << in.size() << "of" << facts.total << "bytes";
        return;
    }
    if (kept.isOpen())
        discard();
}

MaybeFailure PackageDownload::open()
{
    // A record whose protection cannot be read is refused before any byte is fetched.
    if (!record.malformedMember.isEmpty())
        return Failure::malformedMember(record.malformedMember);
    if (const MaybeFailure refused = kept.open(record, askedPath))
        return refused;
    if (const std::optional<DownloadState> &state = kept.takenOver()) {
        in = state->spans;
        facts.total = state->length;
        validator = state->validator;
        facts.servesRanges = state->servesRanges;
    }
    // Kept bytes are believed once they are hashed again.
    checks->check(kept.partialPath(), in, {0, in.size() > 0 ? facts.total : 0});
    return std::nullopt;
}

bool PackageDownload::keepable() const
{
    return kept.isOpen() && (!failed || failed->transient() || failed->cause == Failure::PieceMismatch) && in.size() > 0
        && in.size() < facts.total && !validator.isEmpty();
}

void PackageDownload::keepState(bool now)
{
    if (!keepable())
        return;
    if (!now && sinceKept.isValid() && (kept.keeping() || !DownloadState::due(sinceKept.elapsed(), in.size() - keptBytes, facts.total - in.size())))
        return;
    // With pieces, only those checked: the others may hold a wrong source's bytes.
    const SpanSet sound = checks->active() ? checks->checked() : in;
    if (sound.size() == 0)
        return;
    sinceKept.start();
    keptBytes = in.size();
    DownloadState state;
    state.url = DownloadState::addressOf(record.downloadUri);
    state.size = record.size;
    state.sha256 = record.sha256;
    state.validator = validator;
    state.length = facts.total;
    state.servesRanges = facts.servesRanges;
    state.spans = sound;
    state.savedAt = QDateTime::currentSecsSinceEpoch();
    kept.keep(state, now);
}

QNetworkRequest PackageDownload::request(const QUrl &url, const Span &span) const
{
    QNetworkRequest request = SafeGet::request(url);
    if (span.end == 0)
        return request;
    const QByteArray last = span.end == facts.total ? QByteArray() : QByteArray::number(span.end - 1);
    request.setRawHeader("Range", "bytes=" + QByteArray::number(span.begin) + '-' + last);
    // Hashes that vouch need no validator: any source's bytes will do, and wrong ones are caught.
    if (!hashesVouch())
        request.setRawHeader("If-Range", validator);
    return request;
}

Answer::Verdict PackageDownload::judge(const QNetworkReply &reply, const Span &asked, bool rangeOnly) const
{
    Answer::Verdict verdict;
    verdict.total = facts.total;
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
    // Two lengths in one answer leave its end to whoever reads it (Qt takes the first), and a
    // chunked body ends where its chunks say, whatever length it names (RFC 9112, 6.3).
    const QList<QByteArray> lengths = RedirectGuard::answerHeader(reply, "Content-Length");
    const bool chunked = RedirectGuard::answerHeader(reply, "Transfer-Encoding").join(',').toLower().contains("chunked");
    if (std::any_of(lengths.begin(), lengths.end(), [&lengths](const QByteArray &length) { return length.trimmed() != lengths.front().trimmed(); })) {
        verdict.failure = Failure(Failure::SizeMismatch, QStringLiteral("Content-Lengths that differ: ") + describe(reply));
        return verdict;
    }
    bool number = false;
    const qint64 length = lengths.value(0).trimmed().toLongLong(&number);
    header.contentLength = number && !chunked ? length : -1;
    header.contentRange = reply.rawHeader("Content-Range");
    header.etag = reply.rawHeader("ETag");
    header.lastModified = reply.rawHeader("Last-Modified");
    header.acceptRanges = reply.rawHeader("Accept-Ranges");
    verdict = Answer::judge(header, {asked.begin, asked.end, facts.total, validator, record.size, record.vouched, sizeLimit,
                                     hashesVouch(), rangeOnly});
    if (verdict.failure) {
        verdict.failure->detail = describe(reply);
        if (verdict.failure->cause == Failure::HttpStatus)
            verdict.failure->retryAfter = RetryPolicy::retryAfterSecs(reply.rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
    }
    return verdict;
}

MaybeFailure PackageDownload::apply(const Answer::Verdict &verdict, const Span &asked, int status)
{
    // The whole package again over bytes kept: they stay only if it is the same package.
    if (verdict.startOver
        || (asked.end == 0 && in.size() > 0
            && ((verdict.validator != validator && !hashesVouch()) || verdict.total != facts.total)))
        startOver();
    if (status == 200)
        facts.servesRanges = verdict.servesRanges && (!verdict.validator.isEmpty() || hashesVouch());
    else
        facts.rangesProven = true;
    facts.total = verdict.total;
    validator = verdict.validator;
    // A length known in advance that the disk cannot take fails now, not once the disk is full.
    const QString folder = QFileInfo(kept.packagePath()).absolutePath();
    const qint64 available = QStorageInfo(folder).bytesAvailable();
    if (facts.total >= 0 && available >= 0 && facts.total - in.size() > available)
        return Failure::diskFull(folder, facts.total - in.size(),
                                 QStringLiteral("%1 bytes to come, %2 free in %3").arg(facts.total - in.size()).arg(available).arg(folder));
    return std::nullopt;
}

MaybeFailure PackageDownload::write(qint64 offset, const char *data, qint64 size)
{
    // A body longer than the package's length is cut off: it cannot be the package.
    if (facts.total >= 0 && offset + size > facts.total)
        return Failure(Failure::SizeMismatch, QStringLiteral("a body past the package's %1 bytes").arg(facts.total));
    if (facts.total < 0 && offset + size > sizeLimit)
        return Failure(Failure::TooLarge, QStringLiteral("a body of no announced length past %1 bytes").arg(sizeLimit));
    // Only the gaps: a whole package that follows a split one brings bytes already in.
    for (const Span &gap : in.gaps({offset, offset + size}))
        if (const MaybeFailure unstored = store(gap.begin, data + (gap.begin - offset), gap.size()))
            return unstored;
    // The hashes read the bytes back on their threads: what was written must be in the file.
    if (!kept.file().flush())
        return writeFailed();
    checks->check(kept.partialPath(), in, {offset, offset + size});
    if (const MaybeFailure wrong = checks->collect(in, false, &wrongPieces))
        return wrong;
    keepState(false);
    return std::nullopt;
}

MaybeFailure PackageDownload::store(qint64 offset, const char *data, qint64 size)
{
    QFile &file = kept.file();
    if (file.pos() != offset && !file.seek(offset))
        return writeFailed();
    for (qint64 done = 0; done < size; done += writeSlice)
        if (file.write(data + done, qMin(writeSlice, size - done)) != qMin(writeSlice, size - done))
            return writeFailed();
    in.insert({offset, offset + size});
    return std::nullopt;
}

Failure PackageDownload::writeFailed() const
{
    return Failure::diskFull(QFileInfo(kept.partialPath()).absolutePath(), facts.total >= 0 ? facts.total - in.size() : -1,
                             kept.partialPath() + QStringLiteral(": ") + kept.file().errorString());
}

void PackageDownload::endsAt(qint64 length)
{
    if (facts.total < 0)
        facts.total = length;
}

void PackageDownload::fail(const Failure &cause)
{
    // The first cause is the one: what follows (an aborted reply) is its consequence.
    if (failed)
        return;
    // Bytes came and then the server was lost: the download is incomplete, whichever
    // connection failed last and however.
    const bool lost = cause.cause == Failure::NetworkFailure && in.size() > 0;
    failed = lost ? Failure(Failure::Incomplete, cause.detail) : cause;
}

MaybeFailure PackageDownload::finish()
{
    if (!failed && !complete())
        fail(Failure(Failure::Incomplete, QStringLiteral("%1 of %2 bytes").arg(in.size()).arg(facts.total)));
    if (!failed && !kept.file().flush())
        fail(writeFailed());
    if (!failed)
        if (const MaybeFailure wrong = settle())
            fail(*wrong);
    if (!failed)
        if (const MaybeFailure unfit = checks->finalCheck(kept.file(), in.size(), kept.partialPath()))
            fail(*unfit);
    if (failed && !canResume())
        discard();
    else if (failed)
        keepState(true);
    return failed;
}

MaybeFailure PackageDownload::settle()
{
    return checks->collect(in, true, &wrongPieces);
}

void PackageDownload::forget(const SpanSet &bytes)
{
    const SpanSet sound = checks->checked();
    for (const Span &span : bytes.spans())
        for (const Span &gap : sound.gaps(span))
            in.remove(gap);
    checks->recheck(kept.partialPath(), in);
}

bool PackageDownload::piecesChecked() const
{
    return checks->active();
}

QString PackageDownload::checksDone() const
{
    return checks->done();
}

void PackageDownload::startOver()
{
    kept.startOver();
    in.clear();
    checks->reset();
}

void PackageDownload::discard()
{
    // Nothing may hold the file open where that keeps it from going.
    checks->reset();
    kept.discard();
    in.clear();
}
