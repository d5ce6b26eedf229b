#ifndef TESTWINDOW_H
#define TESTWINDOW_H

#include "net/DownloadJob.h"
#include "window/UpdateQuorilexVideo.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

// The update window asking a test server, and trusting a test key, instead of the built-in ones.
class TestWindow : public UpdateQuorilexVideo
{
public:
    explicit TestWindow(const QString &versionCheckEndpoint, const QByteArray &publicKey = QByteArray(),
                        const QString &keptFolder = QString())
        : UpdateQuorilexVideo(versionCheckEndpoint, publicKey, keptFolder, nullptr)
    {
        // A failure shows at once, as the rows on failures expect; the retry rows ask for
        // their own waits.
        if (job)
            job->setRetries(0, 0);
    }

    void limitSize(qint64 bytes) { job->setSizeLimit(bytes); }
    void limitStall(int msecs) { job->setStallTimeout(msecs); }
    void limitCrawl(int msecs) { job->setCrawlWindow(msecs); }
    void limitSilence(int msecs) { silentAfterMs = msecs; }
    void retryAfter(int firstWaitMs, int tries) { job->setRetries(firstWaitMs, tries); }
    DownloadJob *download() const { return job; }

    // How the last download failed; nothing while none has.
    MaybeFailure failure() const { return job ? job->failure() : std::nullopt; }

    QLabel *headline() const { return findChild<QLabel *>(QStringLiteral("label")); }
    QLabel *notes() const { return findChild<QLabel *>(QStringLiteral("label_2")); }
    QPushButton *button() const { return findChild<QPushButton *>(QStringLiteral("updateButton")); }
    QProgressBar *progress() const { return findChild<QProgressBar *>(QStringLiteral("progressBar")); }
};

#endif
