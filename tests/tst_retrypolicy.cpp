#include "net/RetryPolicy.h"

#include <QNetworkReply>
#include <QTest>

// Which failures a download tries again by itself, and how long it waits first.
class TestRetryPolicy : public QObject
{
    Q_OBJECT

private slots:
    void next_data();
    void next();
    void retryAfter_data();
    void retryAfter();
};

// A failure in a row: its cause, then its status or network error, and its Retry-After.
using Given = QList<int>;

static Given status(int code, int retryAfter = -1)
{
    return {Failure::HttpStatus, code, retryAfter};
}

void TestRetryPolicy::next_data()
{
    // The same failure again and again, each attempt leaving `kept` bytes more than the one
    // before it, with `kept` at the first: the waits in turn, -1 where the download gives up.
    QTest::addColumn<Given>("given");
    QTest::addColumn<qint64>("kept");
    QTest::addColumn<double>("jitter");
    QTest::addColumn<QList<int>>("waits");

    const Given tls{Failure::NetworkFailure, QNetworkReply::SslHandshakeFailedError};
    const Given refused{Failure::NetworkFailure, QNetworkReply::ConnectionRefusedError};
    const QList<int> firstStep{1000, 1000, 1000, 1000, 1000, -1};
    const QList<int> fullBackoff{2000, 4000, 8000, 16000, 32000, -1};
    const qint64 MiB = RetryPolicy::progressBytes;
    QTest::newRow("reset, no jitter: the first step") << Given{Failure::Incomplete} << qint64(0) << 0.0 << firstStep;
    QTest::newRow("refused, full jitter: the whole backoff") << refused << qint64(0) << 1.0 << fullBackoff;
    QTest::newRow("half jitter") << Given{Failure::Incomplete} << qint64(0) << 0.5 << QList<int>{1500, 2500, 4500, 8500, 16500, -1};
    QTest::newRow("a megabyte kept each time goes on") << Given{Failure::Incomplete} << MiB << 1.0
                                                       << QList<int>{2000, 2000, 2000, 2000, 2000, 2000, 2000};
    QTest::newRow("half a megabyte more each time goes on") << Given{Failure::Incomplete} << MiB / 2 << 0.0
                                                            << QList<int>{1000, 1000, 1000, 1000, 1000, 1000, 1000};
    QTest::newRow("the same bytes fetched again count as none") << Given{Failure::Incomplete, 0, -1, int(MiB) * 3} << qint64(0)
                                                                << 0.0 << QList<int>{1000, 1000, 1000, 1000, 1000, -1};
    QTest::newRow("503") << status(503) << qint64(0) << 0.0 << firstStep;
    QTest::newRow("Retry-After 2, jittered on top") << status(429, 2) << qint64(0) << 1.0 << QList<int>{3000, 5000, 9000, 17000, 33000, -1};
    QTest::newRow("Retry-After 0: never less than the first step") << status(503, 0) << qint64(0) << 0.0 << firstStep;
    QTest::newRow("Retry-After 60") << status(503, 60) << qint64(0) << 0.0 << QList<int>{60000};
    QTest::newRow("Retry-After 61") << status(503, 61) << qint64(0) << 0.0 << QList<int>{-1};
    for (int code : {403, 404, 501})
        QTest::newRow(qPrintable(QString::number(code))) << status(code) << qint64(0) << 0.0 << QList<int>{-1};
    QTest::newRow("certificate refused") << tls << qint64(0) << 0.0 << QList<int>{-1};
    QTest::newRow("a package cut short, seen by its structure") << Given{Failure::CutShort} << qint64(0) << 0.0 << firstStep;
    for (Failure::Cause cause : {Failure::HashMismatch, Failure::DiskFull, Failure::RangeMismatch})
        QTest::newRow(Failure(cause).name()) << Given{cause} << qint64(0) << 0.0 << QList<int>{-1};
}

void TestRetryPolicy::next()
{
    QFETCH(Given, given);
    QFETCH(qint64, kept);
    QFETCH(double, jitter);
    QFETCH(QList<int>, waits);

    Failure failure(Failure::Cause(given.value(0)));
    failure.status = failure.networkError = given.value(1);
    failure.retryAfter = given.value(2, -1);
    // Where each attempt stands: `kept` more each time, or, given a fourth value, always there.
    const qint64 standsAt = given.value(3, -1);
    RetryPolicy policy;
    QList<int> got;
    for (int i = 0; i < waits.size(); ++i)
        got << policy.next(failure, standsAt >= 0 ? standsAt : kept * (i + 1), jitter).value_or(-1);
    QCOMPARE(got, waits);
}

void TestRetryPolicy::retryAfter_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("seconds");

    QTest::newRow("seconds") << QByteArray("2") << 2;
    QTest::newRow("ten seconds ahead") << QByteArray("Tue, 08 Dec 2026 12:00:10 GMT") << 10;
    QTest::newRow("in the past") << QByteArray("Tue, 08 Dec 2026 11:59:00 GMT") << 0;
    QTest::newRow("huge") << QByteArray("99999999999999") << std::numeric_limits<int>::max();
    QTest::newRow("none") << QByteArray() << -1;
    QTest::newRow("negative") << QByteArray("-5") << -1;
    QTest::newRow("words") << QByteArray("soon") << -1;
    QTest::newRow("date without zone") << QByteArray("Tue, 08 Dec 2026 12:00:10") << -1;
}

void TestRetryPolicy::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(int, seconds);
    const QDateTime now(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);
    QCOMPARE(RetryPolicy::retryAfterSecs(value, now), seconds);
}

QTEST_APPLESS_MAIN(TestRetryPolicy)
#include "tst_retrypolicy.moc"
