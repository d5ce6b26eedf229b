#ifndef UPDATEQUORILEXVIDEO_H
#define UPDATEQUORILEXVIDEO_H

#include "comm/UpdateRecord.h"
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
class PackageVerifier;
class QNetworkReply;
class QTemporaryFile;

// The updater's only window: asks the server while it is built, offers a newer
// release and downloads its installer package.
class UpdateQuorilexVideo : public QWidget
{
    Q_OBJECT

public:
    explicit UpdateQuorilexVideo(QWidget *parent = nullptr);
    ~UpdateQuorilexVideo() override;

    // A download that has not sent a byte for this long has failed.
    static constexpr int stallTimeoutMs = 30000;

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

    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

    // A package whose length nobody declared (no "Size", no Content-Length) stops here
    // instead of filling the disk.
    qint64 undeclaredSizeLimit = Q_INT64_C(4) << 30;

private:
    QString storeChunk(const QByteArray &chunk);
    void abortDownload(const QString &cause);
    QString statusFailure() const;
    QString transferFailure() const;
    void showOffer();
    void showDownloadFailure(const QString &cause);
    void handOff();

    Comm *comm;
    httpfile *speedMeter;
    QNetworkAccessManager networkManager;
    QNetworkReply *reply = nullptr;
    QPoint dragOrigin;
    bool dragging = false;
    // Written under a temporary name beside installerPath, moved there once complete.
    QTemporaryFile *installerFile = nullptr;
    QString installerPath;
    QString downloadUrl;
    Ui::UpdateQuorilexVideoClass ui;

    const QString versionCheckEndpoint;
    const QByteArray publicKey;
    UpdateRecord offeredRelease;
    std::unique_ptr<PackageVerifier> verifier;
    QTimer stallTimer;
    qint64 installerBytes = 0;
    QString downloadFailure;
};

#endif
