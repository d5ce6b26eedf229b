#include "UpdateQuorilexVideo.h"

#include "app/release.h"
#include "comm/Comm.h"
#include "comm/VersionCheck.h"
#include "net/DownloadJob.h"
#include "net/Logging.h"
#include "net/KeptFile.h"
#include "net/ProxyFactory.h"
#include "net/ProxyLogin.h"
#include "speed/httpfile.h"
#include "window/FailureText.h"
#include "window/NotesArea.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStandardPaths>
#include <QNetworkProxyFactory>
#include <QScreen>
#include <QTextDocument>
#include <QUrl>

#include <limits>

namespace {

bool inDragRegion(const QPoint &pos)
{
    return pos.x() <= 1000 && pos.y() <= 500;
}

} // namespace

UpdateQuorilexVideo::UpdateQuorilexVideo(QWidget *parent)
    : UpdateQuorilexVideo(versionCheckUrl, updatePublicKey,
                          QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation), parent)
{
}

UpdateQuorilexVideo::UpdateQuorilexVideo(const QString &versionCheckEndpoint, const QByteArray &publicKey,
                                         const QString &keptFolder, QWidget *parent)
    : QWidget(parent)
    , comm(new Comm)
    , speedMeter(new httpfile)
    , versionCheckEndpoint(versionCheckEndpoint)
    , check(*comm, versionCheckEndpoint, publicKey, keptFolder)
{
    // Behind a mandatory company proxy, the proxy the system names is the only way out.
    QNetworkProxyFactory::setApplicationProxyFactory(new ProxyFactory);
    setWindowFlags(Qt::FramelessWindowHint | Qt::CustomizeWindowHint);
    ui.setupUi(this);

    // Notes that do not fit scroll in their own area instead of growing the window past
    // the screen and pushing the button and the cross out of reach.
    notesArea = NotesArea::around(ui.label_2, ui.gridLayout_6);

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
    // The form's rules give the button one look whatever its state; while a download runs
    // or waits, it looks as unpressable as it is.
    ui.updateButton->setStyleSheet(ui.updateButton->styleSheet()
                                   + QStringLiteral("\nQPushButton#updateButton:disabled\n{\n    color:#EEF3FF;\n    background-color:#B3CCFF;\n}\n"));

    checkVersion();
}

UpdateQuorilexVideo::~UpdateQuorilexVideo()
{
    // Quitting mid-download stops every connection and leaves no partial package behind.
    delete job;
    delete speedMeter;
    delete comm;
}

void UpdateQuorilexVideo::checkVersion()
{
    const VersionCheck::Outcome outcome = check.run(currentVersion, currentReleaseTime, QDateTime::currentSecsSinceEpoch());
    // What earlier runs kept, swept once the check has told what is offered: bytes of another
    // release, or of any when none is offered, will never be needed. While the check cannot
    // tell, they stay (for a week at most).
    KeptFile::sweepAll(installerPackagePath, outcome.offer ? &*outcome.offer : nullptr, !outcome.failure);
    if (outcome.failure)
        showFailure(*outcome.failure);
    else if (outcome.offer)
        offer(*outcome.offer);
}

void UpdateQuorilexVideo::offer(const UpdateRecord &record)
{
    offeredRelease = record;
    job = new DownloadJob(networkManager, record, installerPackagePath, QUrl(versionCheckEndpoint), this);
    connect(job, &DownloadJob::finished, this, &UpdateQuorilexVideo::on_finished);
    connect(job, &DownloadJob::readyRead, this, &UpdateQuorilexVideo::on_readyRead);
    connect(job, &DownloadJob::downloadProgress, this, &UpdateQuorilexVideo::on_downloadProgress);
    connect(job, &DownloadJob::waiting, this, [this](const Failure &cause, int secondsLeft) {
        // The bar keeps its fraction; its text says why it does not move.
        waitingToRetry = true;
        ui.progressBar->setFormat(FailureText::retrying(cause, secondsLeft));
    });
    connect(job, &DownloadJob::retrying, this, [this] {
        // The speed covers the new attempt, not the wait.
        waitingToRetry = false;
        speedMeter->restart();
        sinceProgress.start();
        on_downloadProgress(job->received(), job->total());
    });
    // The meter recomputes the speed each second; the bar shows it then, bytes or none.
    barTimer.setInterval(1000);
    connect(&barTimer, &QTimer::timeout, this, [this] {
        if (job && job->isRunning() && !waitingToRetry)
            on_downloadProgress(job->received(), job->total());
    });
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
    if (!job || job->isRunning())
        return;

    showOffer();
    // The window itself holds the focus while it downloads. Disabling the focused button
    // would hand it on to the cross, where a second Enter would quit mid-download, and so
    // would a window that, with no focus at all, is activated again (Alt+Tab, a click).
    setFocus(Qt::OtherFocusReason);
    ui.updateButton->setEnabled(false);
    ui.progressBar->setFormat(QString());
    ui.progressBar->show();
    // The speed covers this attempt only; the bar starts where the last one stopped.
    speedMeter->restart();
    waitingToRetry = false;
    lastReceived = -1;
    job->start();
    if (job->isRunning()) {
        showOffer();
        barTimer.start();
        on_downloadProgress(job->received(), job->total());
    }
}

void UpdateQuorilexVideo::on_readyRead()
{
    if (job && job->isRunning())
        speedMeter->setReceivedBytes(job->bytesReceived());
}

void UpdateQuorilexVideo::on_downloadProgress(qint64 bytesRead, qint64 totalBytes)
{
    if (bytesRead != lastReceived) {
        lastReceived = bytesRead;
        sinceProgress.start();
    }
    // A stall shows as one: the average speed would fall only slowly.
    const qint64 silentMs = sinceProgress.isValid() ? sinceProgress.elapsed() : 0;
    const QString pace = silentMs >= silentAfterMs ? QStringLiteral("%1 秒未收到数据").arg(silentMs / 1000) : speedMeter->text();
    // Counts all bytes in, over every connection and the attempts before.
    if (totalBytes <= 0) {
        // A busy bar draws no text: an empty one says what has come.
        ui.progressBar->setRange(0, 1);
        ui.progressBar->setValue(0);
        ui.progressBar->setFormat(QStringLiteral("已下载 %1  ").arg(httpfile::formatSize(bytesRead)) + pace);
        return;
    }
    // The bar counts bytes while the total fits its int; larger packages count in units of
    // the smallest power of two that fits, which leaves the percentage as it is.
    int shift = 0;
    while ((totalBytes >> shift) > std::numeric_limits<int>::max())
        ++shift;
    ui.progressBar->setRange(0, static_cast<int>(totalBytes >> shift));
    ui.progressBar->setValue(static_cast<int>(qMin(bytesRead, totalBytes) >> shift));
    ui.progressBar->setFormat(QStringLiteral("%p%  ") + pace);
}

void UpdateQuorilexVideo::on_finished()
{
    barTimer.stop();
    if (!job->failure()) {
        handOff();
        return;
    }
    // A proxy that wanted a login: asked for outside the job's own signal, as a login typed
    // starts the job again.
    if (ProxyLogin::instance().isWanted()) {
        QMetaObject::invokeMethod(this, &UpdateQuorilexVideo::askProxyLogin, Qt::QueuedConnection);
        return;
    }
    showFailure(*job->failure());
}

void UpdateQuorilexVideo::askProxyLogin()
{
    Failure failure = *job->failure();
    switch (ProxyLogin::instance().askIfWanted()) {
    case ProxyLogin::Given:
        // Connections kept from before would answer with the login the proxy refused.
        networkManager.clearAccessCache();
        SendDownUpdate();
        return;
    case ProxyLogin::Declined:
        failure.proxy = ProxyLogin::instance().lastProxy();
        break;
    case ProxyLogin::NotWanted:
        break;
    }
    showFailure(failure);
}

void UpdateQuorilexVideo::handOff()
{
    ui.progressBar->hide();
    // Desktops open absolute file URLs only.
    const QString package = QFileInfo(job->packagePath()).absoluteFilePath();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(package))) {
        qCInfo(lcDownload).noquote() << "handed to the desktop:" << package;
        QCoreApplication::exit(0);
        return;
    }
    qCWarning(lcDownload).noquote() << "the desktop did not open" << package;
    ui.updateButton->hide();
    ui.label->setText(QStringLiteral("请手动安装更新"));
    // The path is to be copied: selectable, and never read as markup.
    ui.label_2->setTextFormat(Qt::PlainText);
    ui.label_2->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    showNotes(QStringLiteral("安装包已下载到：") + QDir::toNativeSeparators(package));
}

void UpdateQuorilexVideo::showOffer()
{
    ui.label->setText(QStringLiteral("发现新版Quorilex"));
    // A package that goes elsewhere than the working folder (read-only, or an old package in
    // the way) says where, above the notes.
    const QString package = job ? job->packagePath() : QString();
    if (package.isEmpty() || QFileInfo(package).absolutePath() == QFileInfo(installerPackagePath).absolutePath()) {
        ui.label_2->setTextFormat(Qt::AutoText);
        showNotes(offeredRelease.notes);
        return;
    }
    const QString line = QStringLiteral("安装包将保存到：") + QDir::toNativeSeparators(QFileInfo(package).absoluteFilePath());
    const bool rich = Qt::mightBeRichText(offeredRelease.notes);
    ui.label_2->setTextFormat(rich ? Qt::RichText : Qt::PlainText);
    showNotes(rich ? QStringLiteral("<p>%1</p>").arg(line.toHtmlEscaped()) + offeredRelease.notes
                   : line + QStringLiteral("\n\n") + offeredRelease.notes);
}

void UpdateQuorilexVideo::showFailure(const Failure &failure)
{
    ui.label->setText(FailureText::headline(failure));
    showNotes(FailureText::of(failure));
    if (failure.ofCheck()) {
        qCWarning(lcCheck).noquote() << "failed:" << failure.name() << failure.detail;
        return;
    }
    ui.progressBar->hide();
    ui.updateButton->setEnabled(true);
    ui.updateButton->setFocus();
}

void UpdateQuorilexVideo::showNotes(const QString &text)
{
    ui.label_2->setText(text);
    // Notes longer than their share take the room below them too, down to the button's;
    // short ones keep their place.
    ui.verticalSpacer->changeSize(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    layout()->activate();
    const QSize room = notesArea->maximumViewportSize();
    if (ui.label_2->heightForWidth(room.width()) > room.height()) {
        ui.verticalSpacer->changeSize(20, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
        ui.gridLayout_6->invalidate();
    }
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
    QPoint target = pos() + delta;
    // Never past the edges of the screen under the pointer, where the cross would be out of
    // reach; another screen is reached by moving onto it.
    const QScreen *under = QGuiApplication::screenAt(event->globalPos());
    if (const QScreen *screen = under ? under : this->screen()) {
        const QRect area = screen->availableGeometry();
        target.setX(qMax(area.left(), qMin(target.x(), area.right() + 1 - frameGeometry().width())));
        target.setY(qMax(area.top(), qMin(target.y(), area.bottom() + 1 - frameGeometry().height())));
    }
    move(target);
}

void UpdateQuorilexVideo::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && inDragRegion(event->pos()))
        dragging = false;
}
