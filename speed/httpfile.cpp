#include "httpfile.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkReply>
#include <QTimer>

namespace {

constexpr qint64 KB = 1024;
constexpr qint64 MB = 1024 * KB;
constexpr qint64 GB = 1024 * MB;

quint32 nowSecs()
{
    return QDateTime::currentDateTime().toTime_t();
}

} // namespace

httpfile::httpfile(QWidget *parent)
    : QWidget(parent)
    , speedTimer(new QTimer)
{
    speedTimer->start(1000);
    connect(speedTimer, &QTimer::timeout, this, &httpfile::showSpeed);
    startMSecs = QDateTime::currentDateTime().toMSecsSinceEpoch();
    startSecs = nowSecs();
}

httpfile::~httpfile()
{
    delete outputFile;
    delete speedTimer;
}

void httpfile::restart()
{
    startMSecs = QDateTime::currentDateTime().toMSecsSinceEpoch();
    startSecs = nowSecs();
    receivedBytes = 0;
    speedText.clear();
    speedTimer->start(1000);
}

void httpfile::setReceivedBytes(qint64 count)
{
    receivedBytes = count;
}

void httpfile::on_finished()
{
    if (outputFile) {
        outputFile->close();
        delete outputFile;
        outputFile = nullptr;
    }
    if (reply) {
        reply->deleteLater();
        reply = nullptr;
    }
    speedTimer->stop();
}

void httpfile::on_readyRead()
{
    if (!reply || !outputFile)
        return;
    outputFile->write(reply->readAll());
}

void httpfile::showSpeed()
{
    // Modulo 2^32, so a clock set back gives a negative elapsed time, not a huge one.
    showSpeedAfter(static_cast<qint32>(nowSecs() - static_cast<quint32>(startSecs)));
}

void httpfile::showSpeedAfter(qint32 elapsedSecs)
{
    if (elapsedSecs == 0)
        return;
    speedText = formatSpeed(receivedBytes / elapsedSecs);
}

QString httpfile::formatSpeed(qint64 bytesPerSecond)
{
    const qint64 speed = bytesPerSecond;
    if (speed <= KB)
        return QString::number(speed) + QStringLiteral(" B/S");
    // The part after the point counts whole units of the next smaller size.
    if (speed <= MB)
        return QString::number(speed / KB) + QLatin1Char('.') + QString::number(speed % KB) + QStringLiteral(" KB/S");
    if (speed <= GB)
        return QString::number(speed / MB) + QLatin1Char('.') + QString::number(speed % MB / KB)
            + QStringLiteral(" MB/S");
    return QString();
}

QString httpfile::formatSize(qint64 bytes)
{
    if (bytes < KB)
        return QString::number(bytes) + QStringLiteral(" B");
    const qint64 unit = bytes < MB ? KB : bytes < GB ? MB : GB;
    const QString name = unit == KB ? QStringLiteral(" KB") : unit == MB ? QStringLiteral(" MB") : QStringLiteral(" GB");
    return QString::number(double(bytes) / double(unit), 'f', 1) + name;
}
