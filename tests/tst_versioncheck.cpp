#include "testserver.h"
#include "testwindow.h"

#include <QTest>

class TestVersionCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decision_data();
    void decision();

private:
    std::unique_ptr<TestServer> server;
};

namespace {

const QString noNewVersion = QStringLiteral("未发现新版本");
const QString checkFailed = QStringLiteral("检查更新失败");
const QString offer = QStringLiteral("发现新版Quorilex");

QByteArray record(const QByteArray &state, const QByteArray &version, const QByteArray &time)
{
    return "{\"state\":" + state + ",\"Version\":" + version + ",\"Time\":" + time
        + ",\"UpdateContent\":\"修复若干问题\",\"DownloadUri\":\"http://127.0.0.1:1/p.msi\"}";
}

} // namespace

void TestVersionCheck::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->isRunning());
}

void TestVersionCheck::decision_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("headline");

    QTest::newRow("newer") << record("1", "\"3.1.0\"", "1620403201") << 200 << offer;
    QTest::newRow("newer, wrapped in data") << "{\"code\":0,\"data\":" + record("1", "\"3.1.0\"", "1620403201") + "}" << 200 << offer;
    QTest::newRow("newer, empty version") << record("1", "\"\"", "1620403201") << 200 << offer;
    QTest::newRow("same version, later time") << record("1", "\"3.0.6\"", "1700000000") << 200 << noNewVersion;
    QTest::newRow("same version in data") << "{\"data\":" + record("1", "\"3.0.6\"", "1700000000") + "}" << 200 << noNewVersion;
    QTest::newRow("version with a suffix") << record("1", "\"3.0.6-hotfix\"", "1620403201") << 200 << offer;
    QTest::newRow("equal time") << record("1", "\"3.1.0\"", "1620403200") << 200 << noNewVersion;
    QTest::newRow("earlier time") << record("1", "\"3.1.0\"", "1500000000") << 200 << noNewVersion;
    QTest::newRow("time as a string") << record("1", "\"3.1.0\"", "\"1700000000\"") << 200 << noNewVersion;
    QTest::newRow("time in 2038") << record("1", "\"3.1.0\"", "2147483648") << 200 << offer;
    QTest::newRow("time beyond 32 bits") << record("1", "\"3.1.0\"", "4294967296") << 200 << offer;
    QTest::newRow("time fractional") << record("1", "\"3.1.0\"", "1700000000.5") << 200 << noNewVersion;
    QTest::newRow("time beyond 2^53") << record("1", "\"3.1.0\"", "1e300") << 200 << noNewVersion;
    QTest::newRow("state 2") << record("2", "\"3.1.0\"", "1700000000") << 200 << noNewVersion;
    QTest::newRow("state as a string") << record("\"1\"", "\"3.1.0\"", "1700000000") << 200 << noNewVersion;
    QTest::newRow("state fractional") << record("1.5", "\"3.1.0\"", "1700000000") << 200 << noNewVersion;
    QTest::newRow("no state") << QByteArray(R"({"Version":"3.1.0","Time":1700000000})") << 200 << noNewVersion;
    QTest::newRow("empty object") << QByteArray("{}") << 200 << noNewVersion;
    // Nobody answered with a record: saying "no new version" would be a guess.
    QTest::newRow("404") << record("1", "\"3.1.0\"", "1700000000") << 404 << checkFailed;
    QTest::newRow("500") << QByteArray() << 500 << checkFailed;
    QTest::newRow("empty body") << QByteArray() << 200 << checkFailed;
    QTest::newRow("not JSON") << QByteArray("<html>portal</html>") << 200 << checkFailed;
    QTest::newRow("array") << "[" + record("1", "\"3.1.0\"", "1700000000") + "]" << 200 << checkFailed;
    QTest::newRow("refused") << QByteArray() << 0 << checkFailed;
}

void TestVersionCheck::decision()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, headline);

    const QString endpoint = status ? server->echo(body, status)
                                    : QStringLiteral("http://127.0.0.1:%1/version/down_update.php").arg(TestServer::closedPort());
    TestWindow window(endpoint);
    QCOMPARE(window.headline()->text(), headline);
    const bool offered = headline == offer;
    QCOMPARE(window.button()->isHidden(), !offered);
    QCOMPARE(window.notes()->text(), offered ? QStringLiteral("修复若干问题") : QString());
    QVERIFY(window.progress()->isHidden());
}

QTEST_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"
