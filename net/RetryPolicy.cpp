#include "RetryPolicy.h"

#include <QLocale>

#include <cmath>
#include <limits>

std::optional<int> RetryPolicy::next(const Failure &failure, qint64 kept, double jitter)
{
    if (!failure.transient() || failure.retryAfter > longestRetryAfterSecs)
        return std::nullopt;
    // Bytes fetched again, or fetched and dropped, are no progress.
    if (kept >= best + progressBytes) {
        failuresInRow = 0;
        best = kept;
    }
    if (failuresInRow >= tries)
        return std::nullopt;
    const qint64 spread = (qint64(firstWaitMs) << ++failuresInRow) - firstWaitMs;
    // The server's word is the least wait, never less than the first step.
    const qint64 least = qMax<qint64>(firstWaitMs, qint64(qMax(0, failure.retryAfter)) * 1000);
    return int(least + std::llround(double(spread) * qBound(0.0, jitter, 1.0)));
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
