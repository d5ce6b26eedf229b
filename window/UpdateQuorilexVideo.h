#ifndef UPDATEQUORILEXVIDEO_H
#define UPDATEQUORILEXVIDEO_H

#include "net/DownloadFailure.h"
#include "trust/UpdateRecord.h"
#include "ui_UpdateQuorilexVideo.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

class Comm;
class httpfile;
class PackageDownload;
class PackageTransfer;

// The updater's only window: asks the server while it is built, offers a newer
// release and downloads its installer package.
class UpdateQuorilexVideo : public QWidget
{
    Q_OBJECT

public:
    explicit UpdateQuorilexVideo(QWidget *parent = nullptr);
    ~UpdateQuorilexVideo() override;

    // A download that has not sent a byte for this long has failed, by default.
    static constexpr int stallTimeoutMs = 30000;
    // Nor has one that sent fewer bytes than this in crawlWindowMs, as curl's
    // --speed-limit 1024 --speed-time 60 has it.
    static constexpr int crawlWindowMs = 60000;
    static constexpr qint64 crawlMinimumBytes = 1024;

    void checkVersion();

public slots:
    void closeVidoe();
    void SendDownUpdate();
    void on_finished();
    void on_readyRead();
    void on_downloadProgress(qint64 bytesRead, qint64 totalBytes);

protected:
    // Asks the given endpoint and trusts the given key instead of the built-in ones; for tests.
    UpdateQuorilexVideo(const QString &versionCheckEndpoint, const QByteArray &publicKey, QWidget *parent);

    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

    // A package larger than this is refused unless its publisher signed its size: whatever
    // the server declares, or an undeclared body that reaches it, could fill the disk.
    qint64 sizeLimit = Q_INT64_C(4) << 30;
    QTimer stallTimer;
    // A transfer that brings fewer than crawlMinimumBytes in one run of this timer (60 s
    // by default) has stalled too, however it trickles.
    QTimer crawlTimer;

private:
    void abortDownload(const DownloadFailure &cause);
    void showOffer();
    void showDownloadFailure(const DownloadFailure &failure);
    void handOff();

    Comm *comm;
    httpfile *speedMeter;
    QNetworkAccessManager networkManager;
    // The running download's connections, null when none.
    PackageTransfer *transfer = nullptr;
    QPoint dragOrigin;
    bool dragging = false;
    QString installerPath;
    QString downloadUrl;
    Ui::UpdateQuorilexVideoClass ui;

    const QString versionCheckEndpoint;
    const QByteArray publicKey;
    UpdateRecord offeredRelease;
    // Lives from the first press until the package is handed off or a failure leaves
    // nothing to resume from.
    std::unique_ptr<PackageDownload> download;
    // This attempt's bytes when the crawl timer last ran, and when the meter last counted.
    qint64 crawlCheckpoint = 0;
    qint64 countedBytes = 0;
};

#endif
