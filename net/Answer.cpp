#include "Answer.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>

Answer::Verdict Answer::judge(const Header &header, const Expected &expected)
{
    Verdict verdict;
    const bool ranged = expected.end > 0;
    if (ranged && header.status == 206) {
        // The bytes asked for of the same package, and nothing else.
        static const QRegularExpression contentRange(QStringLiteral("^bytes (\\d{1,18})-(\\d{1,18})/(\\d{1,18})$"));
        const QRegularExpressionMatch match = contentRange.match(QString::fromLatin1(header.contentRange));
        const bool fits = match.hasMatch() && match.captured(1).toLongLong() == expected.offset
            && match.captured(2).toLongLong() == expected.end - 1 && match.captured(3).toLongLong() == expected.total
            && (header.contentLength < 0 || header.contentLength == expected.end - expected.offset)
            // The validator the range was asked under, carried back: without it the bytes may
            // be another package's, from another server or another upload.
            && (expected.hashesVouch
                || (expected.validator.startsWith('"') ? header.etag : header.lastModified) == expected.validator);
        if (!fits)
            verdict.failure = Failure(Failure::RangeMismatch);
        verdict.total = expected.total;
        verdict.validator = expected.validator;
        return verdict;
    }
    // Only 200 carries the whole package; 206 Partial Content to a plain GET is a part of it.
    if (header.status != 200) {
        verdict.failure = Failure::httpStatus(header.status);
        return verdict;
    }
    if (ranged && expected.rangeOnly) {
        verdict.failure = Failure(Failure::RangeMismatch);
        return verdict;
    }
    // The server ignored the range, or the package changed since: the whole of it again.
    verdict.startOver = ranged;
    if (expected.recordSize >= 0 && header.contentLength >= 0 && header.contentLength != expected.recordSize) {
        verdict.failure = Failure(Failure::SizeMismatch);
        return verdict;
    }
    verdict.total = expected.recordSize >= 0 ? expected.recordSize : header.contentLength;
    // Only the publisher's signed word makes a package beyond the limit believable.
    if (!expected.vouched && verdict.total > expected.sizeLimit) {
        verdict.failure = Failure(Failure::TooLarge);
        return verdict;
    }
    // Sent back in If-Range only when well formed: a weak ETag may not be used there, and
    // a value holding a CR or a NUL would let the server write headers into our request.
    verdict.validator = isStrongEntityTag(header.etag) ? header.etag
        : isHttpDate(header.lastModified)              ? header.lastModified
                                                       : QByteArray();
    const QList<QByteArray> units = header.acceptRanges.split(',');
    verdict.servesRanges = std::any_of(units.begin(), units.end(),
                                       [](const QByteArray &unit) { return unit.trimmed().toLower() == "bytes"; });
    return verdict;
}

bool Answer::isStrongEntityTag(const QByteArray &value)
{
    if (value.size() < 2 || !value.startsWith('"') || !value.endsWith('"'))
        return false;
    // etagc: %x21 / %x23-7E / obs-text.
    return std::all_of(value.begin() + 1, value.end() - 1, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == 0x21 || (byte >= 0x23 && byte <= 0x7E) || byte >= 0x80;
    });
}

bool Answer::isHttpDate(const QByteArray &value)
{
    static const QRegularExpression imfFixdate(QRegularExpression::anchoredPattern(
        QStringLiteral("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT")));
    static const QRegularExpression rfc850(QRegularExpression::anchoredPattern(
        QStringLiteral("(Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday), \\d{2}-[A-Z][a-z]{2}-\\d{2} "
                       "\\d{2}:\\d{2}:\\d{2} GMT")));
    static const QRegularExpression asctime(QRegularExpression::anchoredPattern(
        QStringLiteral("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ \\d]\\d \\d{2}:\\d{2}:\\d{2} \\d{4}")));
    // The day's name is only checked for its form: two-digit years leave its century open.
    const QString text = QString::fromLatin1(value);
    const QString date = text.section(QLatin1Char(' '), 1);
    const QLocale c = QLocale::c();
    if (imfFixdate.match(text).hasMatch())
        return c.toDateTime(date, QStringLiteral("dd MMM yyyy hh:mm:ss 'GMT'")).isValid();
    if (rfc850.match(text).hasMatch())
        return c.toDateTime(date, QStringLiteral("dd-MMM-yy hh:mm:ss 'GMT'")).isValid();
    if (asctime.match(text).hasMatch())
        return c.toDateTime(QString(date).replace(QStringLiteral("  "), QStringLiteral(" 0")),
                            QStringLiteral("MMM dd hh:mm:ss yyyy")).isValid();
    return false;
}
