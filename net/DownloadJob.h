#ifndef DOWNLOADJOB_H
#define DOWNLOADJOB_H

#include "Failure.h"
#include "RetryPolicy.h"
#include "Sources.h"
#include "trust/UpdateRecord.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class PackageDownload;
class PackageTransfer;
class QNetworkAccessManager;

// The download of the offered package, from the press to the package saved where it is
// handed off. It owns the file and its checks, the connections, the stall and crawl rules,
// the retries and the outcome: a transient failure is tried again by itself, from the bytes
// kept, and a source that turns the download away or keeps failing gives way to the next
// mirror; only a failure that stays everywhere reaches the window. A start after that goes on from
// the bytes kept too, as does a run after one that stopped midway. The window starts it
// and shows what it reports.
class DownloadJob : public QObject
{
    Q_OBJECT

public:
    // A download that has not brought a byte for this long has failed, by default.
    static constexpr int stallTimeoutMs = 30000;
    // Nor has one that brought fewer bytes than this in crawlWindowMs, as curl's
    // --speed-limit 1024 --speed-time 60 has it.
    static constexpr int crawlWindowMs = 60000;
    static constexpr qint64 crawlMinimumBytes = 1024;
    // While another source is left, one that would need longer than this for the rest at
    // its pace over a crawl window gives way to it.
    static constexpr int slowSourceSecs = 600;
    // A package larger than this is refused unless its publisher signed its size: whatever
    // the server declares, or an undeclared body that reaches it, could fill the disk.
    static constexpr qint64 defaultSizeLimit = Q_INT64_C(4) << 30;

    // The record's package, which came from `recordServer`, to `path` or the first of its
    // fallback places; the first connection goes through `manager`.
    DownloadJob(QNetworkAccessManager &manager, const UpdateRecord &record, const QString &path, const QUrl &recordServer,
                QObject *parent = nullptr);
    // Stops every connection and leaves no partial package behind.
    ~DownloadJob() override;

    // Starts, or goes on from the bytes a broken attempt kept; finished() follows, at once
    // when the download cannot begin.
    void start();
    // Downloading, or waiting to try again.
    bool isRunning() const { return transfer != nullptr || retryTimer.isActive(); }

    // Once finished: why it failed, else nothing and the package is at packagePath().
    MaybeFailure failure() const { return failed; }
    QString packagePath() const;

    // All bytes in, kept from before too, and the package's length (-1 while unknown).
    qint64 received() const;
    qint64 total() const;
    // The bytes this attempt brought, over all its connections: the speed is theirs.
    qint64 bytesReceived() const;

    // Shorter limits, for tests.
    void setSizeLimit(qint64 bytes) { sizeLimit = bytes; }
    void setStallTimeout(int msecs) { stallTimer.setInterval(msecs); }
    void setCrawlWindow(int msecs) { crawlTimer.setInterval(msecs); }
    void setRetries(int firstWaitMs, int tries) { retries = RetryPolicy(firstWaitMs, tries); }

signals:
    void readyRead();
    void downloadProgress(qint64 received, qint64 total);
    // An attempt failed for `cause` and the next one starts in about `secondsLeft` seconds;
    // emitted again each second of the wait.
    void waiting(const Failure &cause, int secondsLeft);
    // The wait is over: a new attempt goes on from the bytes kept.
    void retrying();
    void finished();

private:
    void attempt();
    void waitFor(int msecs, const Failure &cause);
    void waited();
    bool nextSource(const Failure &cause);
    bool goOn();
    void stop(const Failure &cause);
    void transferEnded();
    void finish(const MaybeFailure &outcome);

    QNetworkAccessManager &manager;
    const UpdateRecord record;
    const QString path;
    qint64 sizeLimit = defaultSizeLimit;
    QTimer stallTimer;
    // An attempt that brings fewer than crawlMinimumBytes in one run of this timer has
    // stalled too, however it trickles.
    QTimer crawlTimer;
    qint64 crawlCheckpoint = 0;
    // The running attempt was stopped for a slow source: the next one asks another.
    bool givingWay = false;
    Sources sources;
    RetryPolicy retries;
    // Fires once a second and at the wait's end, for the countdown.
    QTimer retryTimer;
    QDeadlineTimer waitEnds;
    std::optional<Failure> waitCause;
    int attempts = 0;
    // Lives from the first start until a failure leaves nothing to resume from.
    std::unique_ptr<PackageDownload> download;
    // The running attempt's connections, null when none; declared after the download it
    // writes to.
    std::unique_ptr<PackageTransfer> transfer;
    MaybeFailure failed;
};

#endif
