#include "RetryPolicy.h"

#include <QLocale>

#include <cmath>
#include <limits>

std::optional<int> RetryPolicy::next(const Failure &failure, qint64 brought, double jitter)
{
    if (!failure.transient())
        return std::nullopt;
    if (brought >= progressBytes)
        failuresInRow = 0;
    if (failuresInRow >= delaysMs.size())
        return std::nullopt;
    const int delay = delaysMs[failuresInRow++];
    if (failure.retryAfter > longestRetryAfterSecs)
        return std::nullopt;
    // The server's own word, when it gave one, instead of the guess.
    if (failure.retryAfter >= 0)
        return failure.retryAfter * 1000;
    return delay + int(std::lround(delay * 0.1 * qBound(0.0, jitter, 1.0)));
}

int RetryPolicy::retryAfterSecs(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return -1;
    bool number = false;
    const qint64 seconds = text.toLongLong(&number);
    if (number && text.front() != '+' && text.front() != '-')
        return int(qMin<qint64>(seconds, std::numeric_limits<int>::max()));
    // IMF-fixdate, as RFC 9110 has servers send it: "Sun, 06 Nov 1994 08:49:37 GMT".
    const QDateTime at = QLocale::c().toDateTime(QString::fromLatin1(text), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!at.isValid())
        return -1;
    QDateTime utc = at;
    utc.setTimeSpec(Qt::UTC);
    return int(qBound<qint64>(0, now.secsTo(utc), std::numeric_limits<int>::max()));
}
