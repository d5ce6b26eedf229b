#include "Comm.h"

#include "net/Failure.h"
#include "net/Logging.h"
#include "net/RedirectGuard.h"
#include "net/SafeGet.h"

#include <QEventLoop>
#include <QImage>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPixmap>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

void setLabelPixmap(QLabel *label, const QString &imagePath, QSize size)
{
    // Drawn from the large picture at the screen's own resolution, not stretched afterwards.
    const qreal ratio = label->devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(QImage(imagePath))
                         .scaled(size * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    pixmap.setDevicePixelRatio(ratio);
    label->setCursor(Qt::PointingHandCursor);
    label->setAlignment(Qt::AlignCenter);
    label->setPixmap(pixmap);
}

} // namespace

void Comm::setLabelIcon(QLabel *label, QString imagePath, QString hoverColor)
{
    setLabelPixmap(label, imagePath, QSize(20, 20));
    label->setStyleSheet(QStringLiteral("QLabel:hover{background-color: #") + hoverColor + QStringLiteral("}"));
}

void Comm::setLabelImage(QLabel *label, QString imagePath)
{
    setLabelPixmap(label, imagePath, QSize(300, 300));
}

QByteArray Comm::httpGet(QString url, bool *ok, int timeoutMs, QString *error, Conditional *conditional, bool *transient)
{
    auto manager = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request = SafeGet::request(QUrl(url, QUrl::TolerantMode));
    const bool asksConditionally = conditional && !(conditional->etag.isEmpty() && conditional->lastModified.isEmpty());
    if (asksConditionally) {
        if (!conditional->etag.isEmpty())
            request.setRawHeader("If-None-Match", conditional->etag);
        if (!conditional->lastModified.isEmpty())
            request.setRawHeader("If-Modified-Since", conditional->lastModified);
    }
    const std::unique_ptr<QNetworkReply> reply(SafeGet::send(*manager, request));

    // A server that accepts and then stalls or drips must not hold the caller forever.
    QTimer deadline;
    deadline.setSingleShot(true);
    // A coarse timer may fire 5 % late or early; the limit is meant to the second.
    deadline.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, reply.get(), &QNetworkReply::abort);
    deadline.start(timeoutMs);
    bool tooLarge = false;
    connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(), [&tooLarge, &reply](qint64 received, qint64) {
        if (received > maxBodySize) {
            tooLarge = true;
            reply->abort();
        }
    });

    if (!reply->isFinished()) {
        QEventLoop loop;
        connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Encoded anyway, the body is not the answer that was asked for, and nothing decodes it.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    const bool encoded = !encoding.isEmpty() && encoding != "identity";
    const bool notModified = asksConditionally && status == 304;
    const bool good = !tooLarge && !encoded && reply->error() == QNetworkReply::NoError
        && ((status >= 200 && status <= 299) || notModified);
    if (conditional && good) {
        // Validators go back to the server as headers: only short, printable ones are kept.
        const auto last = [&reply](const QByteArray &name) {
            const QList<QByteArray> values = RedirectGuard::answerHeader(*reply, name);
            const QByteArray value = values.isEmpty() ? QByteArray() : values.last().trimmed();
            const bool printable = std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
            return printable && value.size() <= 256 ? value : QByteArray();
        };
        // A 304 may leave out what did not change.
        const QByteArray etag = last("ETag");
        const QByteArray lastModified = last("Last-Modified");
        if (!notModified || !etag.isEmpty())
            conditional->etag = etag;
        if (!notModified || !lastModified.isEmpty())
            conditional->lastModified = lastModified;
        conditional->notModified = notModified;
    }
    if (ok)
        *ok = good;
    if (transient) {
        Failure failure = status > 0 ? Failure::httpStatus(status) : Failure(Failure::NetworkFailure);
        failure.networkError = reply->error();
        // A body too large or encoded, or a refused redirect, would come again.
        *transient = !good && !tooLarge && !encoded && !RedirectGuard::refused(*reply) && failure.transient();
    }
    if (error && !good) {
        const QString what = tooLarge ? QStringLiteral("a body over %1 bytes").arg(maxBodySize)
            : encoded                 ? QStringLiteral("a body encoded as %1").arg(QString::fromLatin1(encoding))
            : deadline.isActive()     ? fromServer(reply->errorString())
                                      : QStringLiteral("no answer within %1 ms").arg(timeoutMs);
        *error = QStringLiteral("GET %1: HTTP %2, %3").arg(forLog(reply->url())).arg(status).arg(what);
    }
    // A manager waits for its network thread as it goes, up to five seconds, and a thread
    // that reads a header without end does not stop for that: one whose answer timed out is
    // never deleted, so neither the check nor the application's end waits for it.
    if (!deadline.isActive()) {
        static auto *const abandoned = new std::vector<QNetworkAccessManager *>;
        abandoned->push_back(manager.release());
    }
    return good && !notModified ? reply->readAll() : QByteArray();
}

QJsonObject Comm::getJsonObject(QByteArray body, bool *ok)
{
    // The server's text ends at its first NUL byte.
    const int nul = body.indexOf('\0');
    if (nul >= 0)
        body.truncate(nul);

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QString::fromUtf8(body).toUtf8(), &error);
    const bool isObject = error.error == QJsonParseError::NoError && document.isObject();
    if (ok)
        *ok = isObject;
    if (!isObject)
        return QJsonObject();

    const QJsonObject top = document.object();
    const QJsonValue data = top.value(QLatin1String("data"));
    return data.isObject() ? data.toObject() : top;
}
