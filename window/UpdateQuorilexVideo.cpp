#include "UpdateQuorilexVideo.h"

#include "app/release.h"
#include "comm/Comm.h"
#include "comm/InstallerPackage.h"
#include "comm/PackageVerifier.h"
#include "comm/SignedRecord.h"
#include "speed/httpfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMouseEvent>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScrollArea>
#include <QTemporaryFile>
#include <QUrl>

#include <limits>

namespace {

// Enough to bound memory however large the package is, large enough to keep the link busy.
constexpr qint64 downloadReadBufferSize = 1024 * 1024;

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
    auto *notesArea = new QScrollArea;
    notesArea->setObjectName(QStringLiteral("notesArea"));
    notesArea->setFrameShape(QFrame::NoFrame);
    notesArea->setWidgetResizable(true);
    delete ui.gridLayout_6->replaceWidget(ui.label_2, notesArea);
    notesArea->setWidget(ui.label_2);
    // The panel's gradient shows through, as it did behind the bare label.
    notesArea->viewport()->setAutoFillBackground(false);
    ui.label_2->setAutoFillBackground(false);

    comm->setLabelIcon(ui.close, QStringLiteral(":/images/close.png"), QStringLiteral("DEDBFA"));
    comm->setLabelImage(ui.label_3, QStringLiteral(":/images/updateLogo.png"));

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
    connect(&stallTimer, &QTimer::timeout, this, [this] { abortDownload(QStringLiteral("下载超时")); });

    checkVersion();
}

UpdateQuorilexVideo::~UpdateQuorilexVideo()
{
    // Quitting mid-download leaves no partial package behind.
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        delete reply;
    }
    delete installerFile;
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
    if (!record->offersUpdate())
        return;

    offeredRelease = *record;
    downloadUrl = record->downloadUri;
    showOffer();
    ui.updateButton->show();
}

void UpdateQuorilexVideo::closeVidoe()
{
    QCoreApplication::exit(0);
}

void UpdateQuorilexVideo::SendDownUpdate()
{
    if (reply)
        return;

    showOffer();
    const QUrl url(downloadUrl, QUrl::TolerantMode);
    if (!isDownloadUrl(url)) {
        showDownloadFailure(QStringLiteral("下载地址无效"));
        return;
    }

    installerPath = QStringLiteral(".") + QStringLiteral("/%1%2").arg(QStringLiteral("QuorilexVideo_32"), QStringLiteral(".msi"));
    if (QFile::exists(installerPath) && !QFile::remove(installerPath)) {
        showDownloadFailure(QStringLiteral("无法删除旧的安装包"));
        return;
    }
    installerFile = new QTemporaryFile(installerPath + QStringLiteral(".XXXXXX"));
    if (!installerFile->open()) {
        delete installerFile;
        installerFile = nullptr;
        showDownloadFailure(QStringLiteral("无法创建安装包文件"));
        return;
    }
    installerBytes = 0;
    downloadFailure.clear();
    verifier = std::make_unique<PackageVerifier>(offeredRelease);

    reply = networkManager.get(Comm::safeRequest(url));
    reply->setReadBufferSize(downloadReadBufferSize);
    connect(reply, &QNetworkReply::finished, this, &UpdateQuorilexVideo::on_finished);
    connect(reply, &QIODevice::readyRead, this, &UpdateQuorilexVideo::on_readyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateQuorilexVideo::on_downloadProgress);

    ui.updateButton->setEnabled(false);
    ui.progressBar->setRange(0, 0);
    ui.progressBar->setFormat(QString());
    ui.progressBar->show();
    speedMeter->restart();
    stallTimer.start();
}

void UpdateQuorilexVideo::on_readyRead()
{
    if (!reply)
        return;
    const QString failure = storeChunk(reply->readAll());
    if (!failure.isEmpty())
        abortDownload(failure);
}

QString UpdateQuorilexVideo::storeChunk(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return QString();
    stallTimer.start();
    // An error page is not worth a byte on disk.
    const QString status = statusFailure();
    if (!status.isEmpty())
        return status;
    // A body longer than the record's size is cut off: it cannot be the package.
    const qint64 limit = verifier->sizeLimit();
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (limit >= 0 && (installerBytes + chunk.size() > limit || (announced.isValid() && announced.toLongLong() != limit)))
        return QStringLiteral("安装包大小不符");
    if (limit < 0 && !announced.isValid() && installerBytes + chunk.size() > undeclaredSizeLimit)
        return QStringLiteral("安装包过大，已停止下载");
    if (installerFile->write(chunk) != chunk.size())
        return QStringLiteral("写入失败，磁盘可能已满");
    verifier->addData(chunk);
    installerBytes += chunk.size();
    speedMeter->addReceivedBytes(chunk.size());
    return QString();
}

void UpdateQuorilexVideo::abortDownload(const QString &cause)
{
    if (!reply)
        return;
    downloadFailure = cause;
    // A reply that already failed is finishing anyway; aborting it twice upsets Qt.
    if (reply->error() == QNetworkReply::NoError)
        reply->abort();
}

void UpdateQuorilexVideo::on_downloadProgress(qint64 bytesRead, qint64 totalBytes)
{
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
    if (!reply)
        return;
    stallTimer.stop();
    QString failure = downloadFailure;
    if (failure.isEmpty())
        failure = storeChunk(reply->readAll());
    if (failure.isEmpty())
        failure = transferFailure();
    if (failure.isEmpty() && !installerFile->flush())
        failure = QStringLiteral("写入失败，磁盘可能已满");
    if (failure.isEmpty())
        failure = InstallerPackage::defect(*installerFile, installerBytes);
    if (failure.isEmpty())
        failure = verifier->verify(installerBytes);
    verifier.reset();

    reply->deleteLater();
    reply = nullptr;

    if (failure.isEmpty()) {
        // Stale packages were deleted before the download; one may have come back since.
        QFile::remove(installerPath);
        installerFile->setAutoRemove(false);
        if (!installerFile->rename(installerPath)) {
            installerFile->remove();
            failure = QStringLiteral("无法保存安装包");
        }
    }
    delete installerFile;
    installerFile = nullptr;

    if (!failure.isEmpty()) {
        showDownloadFailure(failure);
        return;
    }
    handOff();
}

QString UpdateQuorilexVideo::statusFailure() const
{
    // Refused redirects end with the redirect's own status; say what really happened.
    if (reply->error() == QNetworkReply::InsecureRedirectError)
        return QStringLiteral("下载地址被重定向到不安全的地址");
    if (reply->error() == QNetworkReply::TooManyRedirectsError)
        return QStringLiteral("下载地址重定向次数过多");
    // Only 200 carries the whole package; 206 Partial Content to a plain GET is a part of it.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200)
        return QStringLiteral("服务器返回 HTTP %1").arg(status.toInt());
    return QString();
}

QString UpdateQuorilexVideo::transferFailure() const
{
    const QString status = statusFailure();
    if (!status.isEmpty())
        return status;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && installerBytes != announced.toLongLong())
        return QStringLiteral("下载不完整");
    if (reply->error() != QNetworkReply::NoError || !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return QStringLiteral("网络连接失败");
    return QString();
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

void UpdateQuorilexVideo::showDownloadFailure(const QString &cause)
{
    ui.label->setText(QStringLiteral("下载失败，请重试"));
    ui.label_2->setText(cause);
    ui.progressBar->hide();
    ui.updateButton->setEnabled(true);
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
