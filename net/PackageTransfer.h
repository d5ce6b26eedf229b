#ifndef PACKAGETRANSFER_H
#define PACKAGETRANSFER_H

#include "DownloadFailure.h"
#include "PackageDownload.h"

#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <map>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// One press's transfer: the connections that bring a package's missing bytes into its
// PackageDownload. A package that a server splits safely, and that one connection would
// be slow to bring, comes over several connections at once, each asking for ranges, so
// that one throttled connection no longer sets the pace; anything else comes over one
// connection, as a plain download does.
class PackageTransfer : public QObject
{
    Q_OBJECT

public:
    // At most this many connections at once, so that no server sees more from one updater.
    static constexpr int maxConnections = 8;
    // Only a package at least this long is split, and never into ranges shorter than
    // minimumRange: below that a connection's start costs more than it brings.
    static constexpr qint64 minimumSplitSize = 16 * 1024 * 1024;
    static constexpr qint64 minimumRange = 4 * 1024 * 1024;
    // Nor before the first connection's pace shows that it would need longer than this
    // for the rest alone.
    static constexpr int splitAfterMs = 2000;
    // A connection that brings less than 1/slowFactor of the best one's bytes for this
    // many seconds in a row hands its remainder to the others.
    static constexpr int slowFactor = 8;
    static constexpr int slowSeconds = 2;

    // The first connection goes through `manager`; the package comes from `url`.
    PackageTransfer(QNetworkAccessManager &manager, PackageDownload &download, const QUrl &url,
                    QObject *parent = nullptr);
    // Stops every connection; emits nothing.
    ~PackageTransfer() override;

    void start();
    // Ends the transfer for this cause, unless it has already ended.
    void abort(const DownloadFailure &cause);

    // What finish() of the download said once the transfer ended: nothing when the
    // package is whole and sound.
    MaybeFailure result() const { return outcome; }
    // Bytes this transfer brought, over all its connections.
    qint64 bytesReceived() const { return arrived; }

signals:
    void readyRead();
    // All bytes in (kept from before too) and the package's length (-1 while unknown).
    void downloadProgress(qint64 received, qint64 total);
    void finished();

private:
    struct Lane;
    enum class Onward { Read, Wait, Stop };

    Lane &addLane();
    void send(Lane &lane, const PackageDownload::Span &asked);
    void read(Lane &lane);
    bool accept(Lane &lane);
    void requestEnded(Lane &lane);
    void laneFailed(Lane &lane, const DownloadFailure &cause);
    void rangeRefused(Lane &lane, const DownloadFailure &cause);
    Onward onward(Lane &lane);
    void retire(Lane &lane);
    void release(Lane &lane);
    bool assign(Lane &lane);
    bool takeWork(Lane &lane);
    void distribute();
    void tick();
    void arrivedBytes();
    void proceed();
    void fail(const DownloadFailure &cause);
    void end();
    int limit() const;
    int openLanes() const;
    int busyLanes() const;

    QNetworkAccessManager &firstManager;
    // One for each connection beyond the first, made as they are needed.
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    // The origins each manager has connected to: it keeps a connection to each open.
    std::map<const QNetworkAccessManager *, QSet<QString>> origins;
    PackageDownload &download;
    // Where the first answer came from, after any redirect: the ranges are asked there.
    QUrl url;
    // Declared after the managers: a lane's reply goes before its manager.
    std::vector<std::unique_ptr<Lane>> lanes;
    std::vector<char> buffer;
    QTimer ticker;

    // The first answer allows a split, and whether the transfer is split.
    bool splittable = false;
    bool split = false;
    // Connections at most, lowered when the server turns connections away.
    int ceiling = maxConnections;
    int laneFailures = 0;
    qint64 arrived = 0;
    bool ended = false;
    MaybeFailure outcome;
};

#endif
