#ifndef TESTWINDOW_H
#define TESTWINDOW_H

#include "window/UpdateQuorilexVideo.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

// The update window asking a test server, and trusting a test key, instead of the built-in ones.
class TestWindow : public UpdateQuorilexVideo
{
public:
    explicit TestWindow(const QString &versionCheckEndpoint, const QByteArray &publicKey = QByteArray())
        : UpdateQuorilexVideo(versionCheckEndpoint, publicKey, nullptr)
    {
    }

    void limitSize(qint64 bytes) { sizeLimit = bytes; }
    void limitStall(int msecs) { stallTimer.setInterval(msecs); }
    void limitCrawl(int msecs) { crawlTimer.setInterval(msecs); }

    QLabel *headline() const { return findChild<QLabel *>(QStringLiteral("label")); }
    QLabel *notes() const { return findChild<QLabel *>(QStringLiteral("label_2")); }
    QPushButton *button() const { return findChild<QPushButton *>(QStringLiteral("updateButton")); }
    QProgressBar *progress() const { return findChild<QProgressBar *>(QStringLiteral("progressBar")); }
};

#endif
