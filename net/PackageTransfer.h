#ifndef PACKAGETRANSFER_H
#define PACKAGETRANSFER_H

#include "Failure.h"
#include "Links.h"
#include "PackageDownload.h"
#include "Scheduler.h"
#include "Sources.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// One attempt's connections: they bring a package's missing bytes into its PackageDownload,
// over as many connections as the Scheduler decides. It tells the scheduler what each
// connection did, in the order the scheduler states, and does what it decides: requests,
// reading, and the sources that answered wrong (Links holds the replies and managers).
class PackageTransfer : public QObject
{
    Q_OBJECT

public:
    // The first connection goes through `manager`; the package comes from the current one of
    // `sources`, and with `together` from those after it that are not dropped too. A source
    // that answers wrong is dropped there.
    PackageTransfer(QNetworkAccessManager &manager, PackageDownload &download, Sources &sources, bool together,
                    QObject *parent = nullptr);
    // Stops every connection; emits nothing.
    ~PackageTransfer() override = default;

    void start();
    // Ends the transfer for this cause, unless it has already ended.
    void fail(const Failure &cause);

    // Bytes this transfer brought, over all its connections.
    qint64 bytesReceived() const { return arrived; }
    // A source answered wrong (a wrong piece, a range longer than asked): it is dropped.
    bool droppedSources() const { return dropped; }

signals:
    void readyRead();
    // All bytes in (kept from before too) and the package's length (-1 while unknown).
    void downloadProgress(qint64 received, qint64 total);
    // The download has finished: its failure() tells how.
    void finished();

private:
    int addLink(int id);
    void send(int id, const Span &asked);
    void open(int id);
    void read(int id);
    bool accept(int id);
    void requestEnded(int id);
    void rangeRefused(int id, const Failure &cause);
    void wrongPiece(const Failure &cause);
    void drop(const std::vector<int> &wrong, const Failure &cause);
    void goOn(bool goesOn, const Failure &cause);
    bool settled();
    void distribute();
    void tick();
    void arrivedBytes();
    void proceed();
    void end();

    // Each connection's Qt side, at its id in the scheduler.
    Links links;
    PackageDownload &download;
    Sources &sources;
    // The indices of the sources this attempt uses, the current one first.
    const QList<int> used;
    bool dropped = false;
    Scheduler scheduler;
    std::vector<char> buffer;
    QTimer ticker;
    QElapsedTimer clock;

    qint64 arrived = 0;
    bool ended = false;
};

#endif
