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
    // The same failure again and again, each attempt having brought `brought` bytes: the
    // waits in turn, -1 where the download gives up.
    QTest::addColumn<Given>("given");
    QTest::addColumn<qint64>("brought");
    QTest::addColumn<double>("jitter");
    QTest::addColumn<QList<int>>("waits");

    const Given tls{Failure::NetworkFailure, QNetworkReply::SslHandshakeFailedError};
    const Given refused{Failure::NetworkFailure, QNetworkReply::ConnectionRefusedError};
    const QList<int> doubling{1000, 2000, 4000, 8000, 16000, -1};
    QTest::newRow("reset") << Given{Failure::Incomplete} << qint64(0) << 0.0 << doubling;
    QTest::newRow("refused") << refused << qint64(0) << 0.0 << doubling;
    QTest::newRow("jitter adds a tenth at most") << Given{Failure::Incomplete} << qint64(0) << 1.0
                                                 << QList<int>{1100, 2200, 4400, 8800, 17600, -1};
    QTest::newRow("resets after each megabyte go on")
        << Given{Failure::Incomplete} << qint64(RetryPolicy::progressBytes) << 0.0 << QList<int>{1000, 1000, 1000, 1000, 1000, 1000, 1000};
    QTest::newRow("less than a megabyte counts as none")
        << Given{Failure::Incomplete} << qint64(RetryPolicy::progressBytes - 1) << 0.0 << doubling;
    QTest::newRow("503") << status(503) << qint64(0) << 0.0 << doubling;
    QTest::newRow("429 with Retry-After 2") << status(429, 2) << qint64(0) << 0.0 << QList<int>{2000, 2000, 2000, 2000, 2000, -1};
    QTest::newRow("Retry-After 60") << status(503, 60) << qint64(0) << 0.0 << QList<int>{60000};
    QTest::newRow("Retry-After 61") << status(503, 61) << qint64(0) << 0.0 << QList<int>{-1};
    for (int code : {403, 404, 501})
        QTest::newRow(qPrintable(QString::number(code))) << status(code) << qint64(0) << 0.0 << QList<int>{-1};
    QTest::newRow("certificate refused") << tls << qint64(0) << 0.0 << QList<int>{-1};
    for (Failure::Cause cause : {Failure::HashMismatch, Failure::CutShort, Failure::DiskFull, Failure::RangeMismatch})
        QTest::newRow(Failure(cause).name()) << Given{cause} << qint64(0) << 0.0 << QList<int>{-1};
}

void TestRetryPolicy::next()
{
    QFETCH(Given, given);
    QFETCH(qint64, brought);
    QFETCH(double, jitter);
    QFETCH(QList<int>, waits);

    Failure failure(Failure::Cause(given.value(0)));
    failure.status = failure.networkError = given.value(1);
    failure.retryAfter = given.value(2, -1);
    RetryPolicy policy;
    QList<int> got;
    for (int i = 0; i < waits.size(); ++i)
        got << policy.next(failure, brought, jitter).value_or(-1);
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
