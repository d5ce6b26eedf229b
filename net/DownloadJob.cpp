#include "DownloadJob.h"

#include "Logging.h"
#include "PackageDownload.h"
#include "PackageTransfer.h"

#include <QUrl>

namespace {

bool isDownloadUrl(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

} // namespace

DownloadJob::DownloadJob(QNetworkAccessManager &manager, const UpdateRecord &record, const QString &path,
                         QObject *parent)
    : QObject(parent)
    , manager(manager)
    , record(record)
    , path(path)
{
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(stallTimeoutMs);
    connect(&stallTimer, &QTimer::timeout, this, [this] {
        stop(Failure(Failure::TimedOut, QStringLiteral("no byte for %1 ms").arg(stallTimer.interval())));
    });
    crawlTimer.setInterval(crawlWindowMs);
    connect(&crawlTimer, &QTimer::timeout, this, [this] {
        const qint64 bytes = transfer->bytesReceived();
        if (bytes - crawlCheckpoint < crawlMinimumBytes)
            stop(Failure(Failure::TimedOut, QStringLiteral("%1 bytes in %2 ms").arg(bytes - crawlCheckpoint).arg(crawlTimer.interval())));
        crawlCheckpoint = bytes;
    });
}

DownloadJob::~DownloadJob()
{
    if (transfer)
        qCInfo(lcDownload) << "stopped: the window closed";
}

void DownloadJob::start()
{
    if (transfer)
        return;
    const QUrl url(record.downloadUri, QUrl::TolerantMode);
    if (!isDownloadUrl(url)) {
        finish(Failure(Failure::InvalidAddress, QStringLiteral("DownloadUri \"%1\"").arg(forLog(url))));
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
    transfer = std::make_unique<PackageTransfer>(manager, *download, url);
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
        transfer->abort(cause);
}

void DownloadJob::transferEnded()
{
    stallTimer.stop();
    crawlTimer.stop();
    // Emitted from inside the transfer: it goes once control is back in the event loop.
    transfer.release()->deleteLater();
    MaybeFailure outcome = download->failure();
    if (!outcome) {
        qCInfo(lcDownload) << "verified:" << download->received() << "bytes, the record's size and hash";
        outcome = download->save();
    }
    if (outcome && !download->canResume())
        download.reset();
    finish(outcome);
}

void DownloadJob::finish(const MaybeFailure &outcome)
{
    failed = outcome;
    if (failed)
        qCWarning(lcDownload).noquote() << "failed:" << failed->name()
                                        << failed->detail << (download ? "(the bytes are kept)" : "");
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
