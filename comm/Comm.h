#ifndef COMM_H
#define COMM_H

#include "trust/UpdateRecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QWidget>

class QLabel;

// The window's toolbox: label pictures, a blocking GET and the server record's unwrapping.
class Comm : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // The whole GET, redirects included, gives up after this long.
    static constexpr int httpGetTimeoutMs = 10000;
    // A version record is small; anything larger is not one.
    static constexpr qint64 maxBodySize = UpdateRecord::maxBytes;

    // An answer's validators. Sent back, they ask for a body only when it changed since.
    struct Conditional
    {
        QByteArray etag;
        QByteArray lastModified;
        bool notModified = false;
    };

    void setLabelIcon(QLabel *label, QString imagePath, QString hoverColor);
    void setLabelImage(QLabel *label, QString imagePath);

    // Waits in a nested event loop. Returns the body of a 2xx answer; anything
    // else (transport error, other status, time-out, a body over maxBodySize) gives an empty body and
    // sets *ok to false, so an empty good answer can be told from a failure, and *error to
    // the technical reason. The time limit may be set shorter than the built-in one, for tests.
    // With `conditional`, its validators are sent and replaced by the answer's; a 304 is then
    // a good answer with an empty body, and sets its notModified. *transient tells a failure
    // that asking again may mend (a broken connection, 408, 429, 5xx from a gateway).
    QByteArray httpGet(QString url, bool *ok = nullptr, int timeoutMs = httpGetTimeoutMs, QString *error = nullptr,
                       Conditional *conditional = nullptr, bool *transient = nullptr);

    // The record is the object under "data" when there is one, else the top
    // level object. *ok tells whether the body was a JSON object at all.
    static QJsonObject getJsonObject(QByteArray body, bool *ok = nullptr);
};

#endif
