#include "UpdateQuorilexVideo.h"

#include "app/release.h"
#include "comm/Comm.h"
#include "net/PackageDownload.h"
#include "net/PackageTransfer.h"
#include "trust/SignedRecord.h"
#include "speed/httpfile.h"
#include "window/FailureText.h"
#include "window/NotesArea.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QNetworkProxyFactory>
#include <QUrl>

#include <limits>

namespace {

bool inDragRegion(const QPoint &pos)
{
    return pos.x() <= 1000 && pos.y() <= 500;
}

bool isDownloadUrl(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

} // namespace

UpdateQuorilexVideo::UpdateQuorilexVideo(QWidget *parent)
    : UpdateQuorilexVideo(versionCheckUrl, updatePublicKey, parent)
{
}

UpdateQuorilexVideo::UpdateQuorilexVideo(const QString &versionCheckEndpoint, const QByteArray &publicKey,
                                         QWidget *parent)
    : QWidget(parent)
    , comm(new Comm)
    , speedMeter(new httpfile)
    , versionCheckEndpoint(versionCheckEndpoint)
    , publicKey(publicKey)
{
    // Behind a mandatory company proxy, the proxy the system names is the only way out.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    setWindowFlags(Qt::FramelessWindowHint | Qt::CustomizeWindowHint);
    ui.setupUi(this);

    // Notes that do not fit scroll in their own area instead of growing the window past
    // the screen and pushing the button and the cross out of reach.
    auto *notesArea = new NotesArea;
    notesArea->setObjectName(QStringLiteral("notesArea"));
    notesArea->setFrameShape(QFrame::NoFrame);
    delete ui.gridLayout_6->replaceWidget(ui.label_2, notesArea);
    notesArea->setWidget(ui.label_2);
    // Asked for its smallest size, a word-wrapped label lays its text out at width 0, one
    // word (one Chinese character) a line; the area is never narrower than this anyway.
    ui.label_2->setMinimumWidth(100);
    // The panel's gradient shows through, as it did behind the bare label.
    notesArea->viewport()->setAutoFillBackground(false);
    ui.label_2->setAutoFillBackground(false);

    comm->setLabelIcon(ui.close, QStringLiteral(":/images/close.png"), QStringLiteral("DEDBFA"));
    comm->setLabelImage(ui.label_3, QStringLiteral(":/images/updateLogo.png"));
    // The cross shows the keyboard's focus as it shows the pointer.
    ui.widget_2->setStyleSheet(QStringLiteral("#close:focus{background-color: #DEDBFA}"));

    // What a screen reader says for the parts that have no text of their own.
    setAccessibleName(QStringLiteral("Quorilex 视频更新"));
    ui.close->setAccessibleName(QStringLiteral("关闭"));
    ui.label_3->setAccessibleName(QStringLiteral("更新插图"));
    notesArea->setAccessibleName(QStringLiteral("更新说明"));
    ui.progressBar->setAccessibleName(QStringLiteral("下载进度"));
    // Enter presses the offered update as Space does; Tab goes on to the cross, then to the
    // notes, which scroll with the arrow keys.
    ui.updateButton->setAutoDefault(true);
    setTabOrder(ui.updateButton, ui.close);
    setTabOrder(ui.close, notesArea);

    // Windows' style asks for a progress bar at least 367 px wide, which would widen the
    // window for good during a download; the bar takes the width the form gives it.
    QSizePolicy barPolicy = ui.progressBar->sizePolicy();
    barPolicy.setHorizontalPolicy(QSizePolicy::Ignored);
    ui.progressBar->setSizePolicy(barPolicy);
    ui.progressBar->setMaximum(100);
    ui.progressBar->setValue(0);
    ui.progressBar->hide();
    ui.updateButton->hide();

    stallTimer.setSingleShot(true);
    stallTimer.setInterval(stallTimeoutMs);
    connect(&stallTimer, &QTimer::timeout, this, [this] { abortDownload({DownloadFailure::TimedOut, true}); });
    crawlTimer.setInterval(crawlWindowMs);
    connect(&crawlTimer, &QTimer::timeout, this, [this] {
        const qint64 bytes = transfer->bytesReceived();
        if (bytes - crawlCheckpoint < crawlMinimumBytes)
            abortDownload({DownloadFailure::TimedOut, true});
        crawlCheckpoint = bytes;
    });

    checkVersion();
}

UpdateQuorilexVideo::~UpdateQuorilexVideo()
{
    // Quitting mid-download stops every connection and leaves no partial package behind.
    delete transfer;
    download.reset();
    delete speedMeter;
    delete comm;
}

void UpdateQuorilexVideo::checkVersion()
{
    bool answered = false;
    bool isObject = false;
    const QByteArray body = comm->httpGet(versionCheckEndpoint, &answered);
    const QJsonObject json = Comm::getJsonObject(body, &isObject);
    if (!answered || !isObject) {
        // Nobody could be asked, so "no new version" would be a guess.
        ui.label->setText(QStringLiteral("检查更新失败"));
        return;
    }
    // With the publisher's key built in, only what the publisher signed is believed.
    const std::optional<UpdateRecord> record = publicKey.isEmpty()
        ? std::optional<UpdateRecord>(UpdateRecord::fromJson(json))
        : SignedRecord::open(json, publicKey, QDateTime::currentSecsSinceEpoch());
    if (!record) {
        ui.label->setText(QStringLiteral("检查更新失败"));
        ui.label_2->setText(QStringLiteral("无法验证更新信息"));
        return;
    }
    if (!record->offersUpdate(currentVersion, currentReleaseTime))
        return;

    offeredRelease = *record;
    downloadUrl = record->downloadUri;
    showOffer();
    ui.updateButton->show();
    ui.updateButton->setFocus();
}

void UpdateQuorilexVideo::closeVidoe()
{
    QCoreApplication::exit(0);
}

void UpdateQuorilexVideo::SendDownUpdate()
{
    if (transfer)
        return;

    showOffer();
    const QUrl url(downloadUrl, QUrl::TolerantMode);
    if (!isDownloadUrl(url)) {
        showDownloadFailure({DownloadFailure::InvalidAddress});
        return;
    }

    // After a broken attempt the bytes kept are asked for no more.
    if (!download || !download->canResume()) {
        download = std::make_unique<PackageDownload>(offeredRelease, installerPackagePath, sizeLimit);
        if (const MaybeFailure failure = download->open()) {
            download.reset();
            showDownloadFailure(*failure);
            return;
        }
        installerPath = download->path();
    }

    transfer = new PackageTransfer(networkManager, *download, url, this);
    connect(transfer, &PackageTransfer::finished, this, &UpdateQuorilexVideo::on_finished);
    connect(transfer, &PackageTransfer::readyRead, this, &UpdateQuorilexVideo::on_readyRead);
    connect(transfer, &PackageTransfer::downloadProgress, this, &UpdateQuorilexVideo::on_downloadProgress);

    // The window itself holds the focus while it downloads. Disabling the focused button
    // would hand it on to the cross, where a second Enter would quit mid-download, and so
    // would a window that, with no focus at all, is activated again (Alt+Tab, a click).
    setFocus(Qt::OtherFocusReason);
    ui.updateButton->setEnabled(false);
    ui.progressBar->setFormat(QString());
    ui.progressBar->show();
    // The speed covers this attempt only; the bar starts where the last one stopped.
    speedMeter->restart();
    countedBytes = 0;
    on_downloadProgress(download->received(), download->total());
    stallTimer.start();
    crawlCheckpoint = 0;
    crawlTimer.start();
    transfer->start();
}

void UpdateQuorilexVideo::on_readyRead()
{
    if (!transfer)
        return;
    // Bytes on any connection keep the download alive; the meter shows them all.
    stallTimer.start();
    speedMeter->addReceivedBytes(transfer->bytesReceived() - countedBytes);
    countedBytes = transfer->bytesReceived();
}

void UpdateQuorilexVideo::abortDownload(const DownloadFailure &cause)
{
    if (transfer)
        transfer->abort(cause);
}

void UpdateQuorilexVideo::on_downloadProgress(qint64 bytesRead, qint64 totalBytes)
{
    // Counts all bytes in, over every connection and the attempts before.
    if (totalBytes <= 0) {
        ui.progressBar->setRange(0, 0);
        ui.progressBar->setFormat(speedMeter->text());
        return;
    }
    // The bar counts bytes while the total fits its int; larger packages count in units of
    // the smallest power of two that fits, which leaves the percentage as it is.
    int shift = 0;
    while ((totalBytes >> shift) > std::numeric_limits<int>::max())
        ++shift;
    ui.progressBar->setRange(0, static_cast<int>(totalBytes >> shift));
    ui.progressBar->setValue(static_cast<int>(qMin(bytesRead, totalBytes) >> shift));
    ui.progressBar->setFormat(QStringLiteral("%p%  ") + speedMeter->text());
}

void UpdateQuorilexVideo::on_finished()
{
    if (!transfer)
        return;
    stallTimer.stop();
    crawlTimer.stop();
    MaybeFailure failure = transfer->result();
    // Finished is emitted from inside the transfer.
    transfer->deleteLater();
    transfer = nullptr;
    if (!failure)
        failure = download->save();
    if (failure) {
        if (!download->canResume())
            download.reset();
        showDownloadFailure(*failure);
        return;
    }
    download.reset();
    handOff();
}

void UpdateQuorilexVideo::handOff()
{
    ui.progressBar->hide();
    // Desktops open absolute file URLs only.
    const QString package = QFileInfo(installerPath).absoluteFilePath();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(package))) {
        QCoreApplication::exit(0);
        return;
    }
    ui.updateButton->hide();
    ui.label->setText(QStringLiteral("请手动安装更新"));
    ui.label_2->setText(QStringLiteral("安装包已下载到：") + QDir::toNativeSeparators(package));
}

void UpdateQuorilexVideo::showOffer()
{
    ui.label->setText(QStringLiteral("发现新版Quorilex"));
    ui.label_2->setText(offeredRelease.notes);
}

void UpdateQuorilexVideo::showDownloadFailure(const DownloadFailure &failure)
{
    ui.label->setText(QStringLiteral("下载失败，请重试"));
    ui.label_2->setText(FailureText::of(failure));
    ui.progressBar->hide();
    ui.updateButton->setEnabled(true);
    ui.updateButton->setFocus();
}

void UpdateQuorilexVideo::keyPressEvent(QKeyEvent *event)
{
    // Escape leaves as the cross does.
    if (event->key() == Qt::Key_Escape) {
        closeVidoe();
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdateQuorilexVideo::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    dragging = true;
    if (inDragRegion(event->pos()))
        dragOrigin = event->globalPos();
}

void UpdateQuorilexVideo::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging || !inDragRegion(event->pos()))
        return;
    const QPoint delta = event->globalPos() - dragOrigin;
    dragOrigin = event->globalPos();
    move(pos() + delta);
}

void UpdateQuorilexVideo::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && inDragRegion(event->pos()))
        dragging = false;
}
