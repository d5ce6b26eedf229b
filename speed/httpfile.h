#ifndef HTTPFILE_H
#define HTTPFILE_H

#include <QNetworkAccessManager>
#include <QString>
#include <QWidget>

class QFile;
class QNetworkReply;
class QTimer;

// Turns the bytes of one transfer into an average speed text, once a second.
class httpfile : public QWidget
{
    Q_OBJECT

public:
    explicit httpfile(QWidget *parent = nullptr);
    ~httpfile() override;

    // Starts a new average: the shown speed covers this transfer only.
    void restart();
    // The bytes the transfer has brought so far.
    void setReceivedBytes(qint64 count);
    QString text() const { return speedText; }

    // Recomputes the text for an average over elapsedSecs whole seconds; a
    // tick before the first whole second keeps the last text.
    void showSpeedAfter(qint32 elapsedSecs);
    static QString formatSpeed(qint64 bytesPerSecond);
    // A byte count in the units the speed uses, to a tenth: "512 B", "1.5 KB", "3.2 MB".
    static QString formatSize(qint64 bytes);

private slots:
    void on_finished();
    void on_readyRead();
    void showSpeed();

private:
    QNetworkAccessManager networkManager;
    QNetworkReply *reply = nullptr;
    QFile *outputFile = nullptr;
    QTimer *speedTimer;
    qint64 startMSecs;
    quint64 startSecs;
    qint64 receivedBytes = 0;
    QString speedText;
};

#endif
