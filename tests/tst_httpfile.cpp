#include "speed/httpfile.h"

#include <QTest>

class TestHttpfile : public QObject
{
    Q_OBJECT

private slots:
    void speedText_data();
    void speedText();
    void tickWithinTheFirstSecondKeepsTheText();
    void restartStartsANewAverage();
    void ticksByItself();
};

void TestHttpfile::speedText_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("elapsed");
    QTest::addColumn<QString>("text");

    QTest::newRow("nothing") << Q_INT64_C(0) << 1 << "0 B/S";
    QTest::newRow("1024") << Q_INT64_C(1024) << 1 << "1024 B/S";
    QTest::newRow("1025") << Q_INT64_C(1025) << 1 << "1.1 KB/S";
    QTest::newRow("1536") << Q_INT64_C(1536) << 1 << "1.512 KB/S";
    QTest::newRow("2047") << Q_INT64_C(2047) << 1 << "1.1023 KB/S";
    QTest::newRow("1048576") << Q_INT64_C(1048576) << 1 << "1024.0 KB/S";
    QTest::newRow("1048577") << Q_INT64_C(1048577) << 1 << "1.0 MB/S";
    QTest::newRow("3 MB 300 KB 100 B") << Q_INT64_C(3 * 1048576 + 300 * 1024 + 100) << 1 << "3.300 MB/S";
    QTest::newRow("1073741824") << Q_INT64_C(1073741824) << 1 << "1024.0 MB/S";
    QTest::newRow("1073741825") << Q_INT64_C(1073741825) << 1 << "";
    QTest::newRow("2147483647") << Q_INT64_C(2147483647) << 1 << "";
    QTest::newRow("beyond 32 bits") << Q_INT64_C(5) * 1073741824 << 1 << "";
    QTest::newRow("5000 in 2 s") << Q_INT64_C(5000) << 2 << "2.452 KB/S";
    QTest::newRow("7 in 2 s truncates") << Q_INT64_C(7) << 2 << "3 B/S";
    QTest::newRow("clock set back") << Q_INT64_C(100) << -3 << "-33 B/S";
    QTest::newRow("8 GiB in 4 s") << Q_INT64_C(8) * 1073741824 << 4 << "";
    QTest::newRow("8 GiB in 16 s") << Q_INT64_C(8) * 1073741824 << 16 << "512.0 MB/S";
}

void TestHttpfile::speedText()
{
    QFETCH(qint64, bytes);
    QFETCH(int, elapsed);
    QFETCH(QString, text);

    httpfile meter;
    meter.setReceivedBytes(bytes);
    meter.showSpeedAfter(elapsed);
    QCOMPARE(meter.text(), text);
}

void TestHttpfile::tickWithinTheFirstSecondKeepsTheText()
{
    httpfile meter;
    meter.setReceivedBytes(5000);
    meter.showSpeedAfter(1);
    QCOMPARE(meter.text(), QStringLiteral("4.904 KB/S"));
    meter.setReceivedBytes(10000);
    meter.showSpeedAfter(0);
    QCOMPARE(meter.text(), QStringLiteral("4.904 KB/S"));
}

void TestHttpfile::restartStartsANewAverage()
{
    httpfile meter;
    meter.setReceivedBytes(1 << 20);
    meter.showSpeedAfter(1);
    meter.restart();
    QVERIFY(meter.text().isEmpty());
    meter.setReceivedBytes(3000);
    meter.showSpeedAfter(1);
    QCOMPARE(meter.text(), QStringLiteral("2.952 KB/S"));
}

void TestHttpfile::ticksByItself()
{
    httpfile meter;
    QVERIFY(meter.text().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(meter.text(), QStringLiteral("0 B/S"), 3000);
}

QTEST_MAIN(TestHttpfile)
#include "tst_httpfile.moc"
