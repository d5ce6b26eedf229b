#ifndef UPDATEQUORILEXVIDEO_H
#define UPDATEQUORILEXVIDEO_H

#include "comm/VersionCheck.h"
#include "net/Failure.h"
#include "trust/UpdateRecord.h"
#include "ui_UpdateQuorilexVideo.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <optional>

class Comm;
class DownloadJob;
class NotesArea;
class httpfile;

// The updater's only window: asks the server while it is built, offers a newer
// release and downloads its installer package.
class UpdateQuorilexVideo : public QWidget
{
    Q_OBJECT

public:
    explicit UpdateQuorilexVideo(QWidget *parent = nullptr);
    ~UpdateQuorilexVideo() override;

    void checkVersion();

public slots:
    void closeVidoe();
    void SendDownUpdate();
    void on_finished();
    void on_readyRead();
    void on_downloadProgress(qint64 bytesRead, qint64 totalBytes);

protected:
    // Asks the given endpoint, trusts the given key and keeps what the check keeps in the
    // given folder (nothing, when empty) instead of the built-in ones; for tests.
    UpdateQuorilexVideo(const QString &versionCheckEndpoint, const QByteArray &publicKey, const QString &keptFolder,
                        QWidget *parent);

    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

    // The offered package's download, made with the offer; null without one.
    DownloadJob *job = nullptr;
    // After this long without a byte, the bar says so instead of the speed.
    int silentAfterMs = 5000;

private:
    // The offered release's download, made ready for the press, and its notes shown.
    void offer(const UpdateRecord &record);
    void showOffer();
    void showFailure(const Failure &failure);
    // The text in the notes' place, with the room it needs.
    void showNotes(const QString &text);
    // After a download failed for want of a proxy's login: asks for one and goes on with it.
    void askProxyLogin();
    void handOff();

    Comm *comm;
    NotesArea *notesArea;
    httpfile *speedMeter;
    QNetworkAccessManager networkManager;
    // The bar's text between the download's own signals: each second, and after this long
    // without a byte it says so.
    QTimer barTimer;
    QElapsedTimer sinceProgress;
    qint64 lastReceived = -1;
    bool waitingToRetry = false;
    QPoint dragOrigin;
    bool dragging = false;
    Ui::UpdateQuorilexVideoClass ui;

    const QString versionCheckEndpoint;
    VersionCheck check;
    UpdateRecord offeredRelease;
};

#endif
