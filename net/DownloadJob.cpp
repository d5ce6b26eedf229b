#include "DownloadJob.h"

#include "Logging.h"
#include "PackageDownload.h"
#include "PackageTransfer.h"

#include <QRandomGenerator>
#include <QUrl>

#include <utility>

DownloadJob::DownloadJob(QNetworkAccessManager &manager, const UpdateRecord &record, const QString &path,
                         const QUrl &recordServer, QObject *parent)
    : QObject(parent)
    , manager(manager)
    , record(record)
    , path(path)
    , sources(record, recordServer)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(stallTimeoutMs);
    connect(&stallTimer, &QTimer::timeout, this, [this] {
        stop(Failure(Failure::TimedOut, QStringLiteral("no byte for %1 ms").arg(stallTimer.interval())));
    });
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &DownloadJob::waited);
    crawlTimer.setInterval(crawlWindowMs);
    connect(&crawlTimer, &QTimer::timeout, this, [this] {
        const qint64 bytes = transfer->bytesReceived();
        const qint64 brought = bytes - crawlCheckpoint;
        crawlCheckpoint = bytes;
        const QString pace = QStringLiteral("%1 bytes in %2 ms").arg(brought).arg(crawlTimer.interval());
        if (brought < crawlMinimumBytes) {
            stop(Failure(Failure::TimedOut, pace));
            return;
        }
        // Sources that serve together share the work by their pace already.
        const double restSecs = double(download->total() - download->received()) / brought * crawlTimer.interval() / 1000;
        if (!download->piecesChecked() && download->total() > 0 && restSecs > slowSourceSecs && sources.anotherLeft()) {
            givingWay = true;
            stop(Failure(Failure::TimedOut, pace + QStringLiteral(": the rest would take %1 s").arg(qRound64(restSecs))));
        }
    });
}

DownloadJob::~DownloadJob()
{
    if (isRunning())
        qCInfo(lcDownload) << "stopped: the window closed";
}

void DownloadJob::start()
{
    if (isRunning())
        return;
    // A press after a failure that stayed tries as often again.
    retries.reset();
    sources.restart();
    attempts = 0;
    attempt();
}

void DownloadJob::attempt()
{
    const QUrl url = sources.current();
    if (!UpdateRecord::isPackageUrl(url)) {
        const Failure invalid(Failure::InvalidAddress, QStringLiteral("DownloadUri \"%1\"").arg(forLog(url)));
        if (!nextSource(invalid))
            finish(invalid);
        return;
    }
    // After a broken attempt the bytes kept are asked for no more.
    if (!download || !download->canResume()) {
        download = std::make_unique<PackageDownload>(record, path, sizeLimit);
        if (const MaybeFailure refused = download->open()) {
            download.reset();
            finish(refused);
            return;
        }
    }
    qCInfo(lcDownload).noquote() << "download of" << forLog(url) << "to" << download->path() << "from byte"
                                 << download->received() << "of" << download->total();
    failed.reset();
    ++attempts;
    // With pieces checked, every source's bytes are as good as the first's: they serve together.
    transfer = std::make_unique<PackageTransfer>(manager, *download, sources, download->piecesChecked());
    connect(transfer.get(), &PackageTransfer::readyRead, this, [this] {
        // Bytes on any connection keep the download alive.
        stallTimer.start();
        emit readyRead();
    });
    connect(transfer.get(), &PackageTransfer::downloadProgress, this, &DownloadJob::downloadProgress);
    connect(transfer.get(), &PackageTransfer::finished, this, &DownloadJob::transferEnded);
    stallTimer.start();
    crawlCheckpoint = 0;
    crawlTimer.start();
    transfer->start();
}

void DownloadJob::stop(const Failure &cause)
{
    if (transfer)
        transfer->fail(cause);
}

void DownloadJob::transferEnded()
{
    stallTimer.stop();
    crawlTimer.stop();
    const bool gaveWay = std::exchange(givingWay, false);
    // Emitted from inside the transfer: it goes once control is back in the event loop.
    const bool dropped = transfer->droppedSources();
    transfer.release()->deleteLater();
    MaybeFailure outcome = download->failure();
    if (!outcome) {
        qCInfo(lcDownload).noquote() << "verified:" << download->received() << "bytes," << download->checksDone();
        outcome = download->save();
    }
    if (outcome && !download->canResume())
        download.reset();
    if (outcome) {
        // A source that answered wrong is not asked again for this download, only that one:
        // the others go on at once.
        if (dropped) {
            if (!sources[sources.currentIndex()].dropped ? goOn() : nextSource(*outcome))
                return;
        }
        // A source that turns the download away, or crawls, is not asked again while another
        // may answer.
        if ((Sources::turnedAway(*outcome) || gaveWay) && nextSource(*outcome))
            return;
        const qint64 kept = download ? download->received() : 0;
        if (const std::optional<int> wait = retries.next(*outcome, kept, QRandomGenerator::global()->generateDouble())) {
            qCWarning(lcDownload).noquote() << "attempt" << attempts << "failed:" << outcome->name() << outcome->detail
                                            << (download ? "(the bytes are kept)" : "") << "- trying again in" << *wait << "ms";
            waitFor(*wait, *outcome);
            return;
        }
        if (outcome->transient() && nextSource(*outcome))
            return;
    }
    finish(outcome);
}

// Goes on at the next source, from the bytes kept where its validator allows; false when
// none is left.
bool DownloadJob::nextSource(const Failure &cause)
{
    const QUrl failed = sources.current();
    if (!sources.advance())
        return false;
    qCWarning(lcDownload).noquote() << "source" << forLog(failed) << "failed:" << cause.name() << cause.detail
                                    << "- going on with" << forLog(sources.current());
    return goOn();
}

// The next attempt, from the event loop: the failed attempt's reply is still being finished.
bool DownloadJob::goOn()
{
    retries.reset();
    waitEnds.setRemainingTime(0);
    retryTimer.start(0);
    return true;
}

void DownloadJob::waitFor(int msecs, const Failure &cause)
{
    waitCause = cause;
    waitEnds.setRemainingTime(msecs, Qt::PreciseTimer);
    waited();
}

// Counts the wait down, a second at a time, and starts the next attempt at its end.
void DownloadJob::waited()
{
    const qint64 left = waitEnds.remainingTime();
    if (left <= 0) {
        emit retrying();
        attempt();
        return;
    }
    emit waiting(*waitCause, int((left + 999) / 1000));
    retryTimer.start(int(left % 1000 == 0 ? 1000 : left % 1000));
}

void DownloadJob::finish(const MaybeFailure &outcome)
{
    failed = outcome;
    if (failed)
        qCWarning(lcDownload).noquote() << "failed:" << failed->name() << failed->detail << (download ? "(the bytes are kept)" : "");
    else
        qCInfo(lcDownload).noquote() << "saved as" << download->path();
    emit finished();
}

QString DownloadJob::packagePath() const
{
    return download ? download->path() : QString();
}

qint64 DownloadJob::received() const
{
    return download ? download->received() : 0;
}

qint64 DownloadJob::total() const
{
    return download ? download->total() : record.size;
}

qint64 DownloadJob::bytesReceived() const
{
    return transfer ? transfer->bytesReceived() : 0;
}
