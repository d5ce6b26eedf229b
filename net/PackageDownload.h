#ifndef PACKAGEDOWNLOAD_H
#define PACKAGEDOWNLOAD_H

#include "Answer.h"
#include "KeptFile.h"
#include "Failure.h"
#include "Scheduler.h"
#include "SpanSet.h"
#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

class PackageChecks;
class QNetworkReply;
class QNetworkRequest;
class QFile;
class QUrl;

// One package's way to disk, over as many attempts, connections and runs as it takes: the
// file, which of its bytes are in, its checks, and what a broken attempt leaves to resume
// from. The connections belong to the caller; bytes come in at any offset and the checks
// still see them in the file's order. Bytes that a later run can go on from outlive the
// object, with their state beside them; nothing else does.
//
// Its life: open(); for each answer judge(), apply() and write() as its body comes;
// settle() once every byte is in; finish(); then save() the whole package. After a failure
// the bytes are kept for the next attempt or run where canResume(), else discarded.
class PackageDownload
{
public:
    // The package goes to `path` once whole, or to the first of its other places() that can
    // take it. A package longer than `sizeLimit` bytes is refused unless the publisher signed
    // its size.
    PackageDownload(const UpdateRecord &record, const QString &path, qint64 sizeLimit);
    ~PackageDownload();

    // Goes on from the bytes an earlier run kept of the same package, else creates the file
    // the bytes go to in the first place that can take it; deletes a package left there.
    // The failure, if that fails or the record's protection is malformed.
    MaybeFailure open();

    // Where the package goes: known once open() succeeded.
    QString path() const { return kept.packagePath(); }

    // A request for `span` of the package (to the end: an open range, as a resume has always
    // asked), or for the whole of it when the span is empty.
    QNetworkRequest request(const QUrl &url, const Span &span) const;

    // Judges the header of an answer to the request for the whole package (an empty span)
    // or for `span`; it changes nothing. A whole package where a span was asked for starts the
    // download over (verdict.startOver), unless `rangeOnly`: then it is refused.
    Answer::Verdict judge(const QNetworkReply &reply, const Span &asked, bool rangeOnly = false) const;
    // Takes in an accepted answer of HTTP `status`: the package's length, validator and
    // ranges; the bytes kept go where it is not the same package. A length that the disk cannot
    // take fails now, not once the disk is full.
    MaybeFailure apply(const Answer::Verdict &verdict, const Span &asked, int status);

    // Puts bytes that start at `offset` into the file; those already in are passed over. A
    // wrong piece found meanwhile fails it (PieceMismatch) and goes out; forget() then drops
    // what else is suspect.
    MaybeFailure write(qint64 offset, const char *data, qint64 size);
    // Drops `bytes` but the pieces checked, to be fetched again, and checks again what stays.
    void forget(const SpanSet &bytes);
    // Every byte in: waits for the hashing, which may still find a wrong piece.
    MaybeFailure settle();
    // The record lists pieces, and the wrong ones found since the last call.
    bool piecesChecked() const;
    // Every byte is checked against the publisher's hashes, the pieces' or the signed whole
    // file's: a range needs no validator, from whichever source it comes.
    bool hashesVouch() const { return piecesChecked() || (record.vouched && !record.sha256.isEmpty()); }
    SpanSet takeWrongPieces() { return std::exchange(wrongPieces, {}); }

    // A body of no announced length ended here: that is the package's length.
    void endsAt(qint64 length);

    // A new attempt from the bytes kept: the last one's failure is over.
    void retry() { failed.reset(); }
    // Ends the download for this cause, unless it has already failed.
    void fail(const Failure &cause);
    MaybeFailure failure() const { return failed; }

    // Once every byte is in, or the download failed: nothing when the package is whole and
    // passed its checks, else the failure, after which canResume() tells whether the bytes
    // were kept.
    MaybeFailure finish();

    // Moves the finished package to its path; the failure, if that fails.
    MaybeFailure save() { return kept.save(); }
    // What a finished package was checked against, for the log.
    QString checksDone() const;

    bool canResume() const { return failed && keepable(); }
    // The bytes in, and the package's length (-1 while unknown).
    qint64 received() const { return in.size(); }
    qint64 total() const { return facts.total; }
    bool complete() const { return facts.total >= 0 && in.size() == facts.total; }
    // What its answers told of the package and its server's ranges, which the scheduler reads.
    const Scheduler::Package &known() const { return facts; }
    // The server turns ranges away: the rest of this download asks for the whole package.
    void refuseRanges() { facts.refusesRanges = true; }
    // The bytes in, which the scheduler reads to tell what is still to come.
    const SpanSet &spans() const { return in; }

private:
    // Writes the state, at most once a second unless `now`.
    void keepState(bool now);
    bool keepable() const;
    // A write or flush that failed: the disk is full, most likely.
    Failure writeFailed() const;
    MaybeFailure store(qint64 offset, const char *data, qint64 size);
    void startOver();
    void discard();

    const UpdateRecord record;
    const QString askedPath;
    const qint64 sizeLimit;
    KeptFile kept;
    // When the state was last noted, and the bytes in then.
    QElapsedTimer sinceKept;
    qint64 keptBytes = 0;
    // The whole file's hash and the record's pieces, off the window's thread.
    std::unique_ptr<PackageChecks> checks;

    SpanSet in;
    SpanSet wrongPieces;
    Scheduler::Package facts;
    // The first answer's strong ETag or Last-Modified, sent back in If-Range.
    QByteArray validator;
    MaybeFailure failed;
};

#endif
