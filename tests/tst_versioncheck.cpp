#include "nginxserver.h"
#include "signingkey.h"
#include "testserver.h"
#include "testwindow.h"
#include "comm/Comm.h"
#include "comm/CheckMemory.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

class TestVersionCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decision_data();
    void decision();
    void signedRecord_data();
    void signedRecord();
    void publishedRecord_data();
    void publishedRecord();
    void keptRecord_data();
    void keptRecord();

private:
    std::unique_ptr<TestServer> server;
    SigningKey publisher;
};

namespace {

const QString noNewVersion = QStringLiteral("未发现新版本");
const QString checkFailed = QStringLiteral("检查更新失败");
const QString offer = QStringLiteral("发现新版Quorilex");
const QString unverified = QStringLiteral("无法验证更新信息");

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
    // A negative status: that many 503s before the record. A passing failure is asked again,
    // twice at most.
    QTest::newRow("one 503, then the record") << record("1", "\"3.1.0\"", "1620403201") << -1 << offer;
    QTest::newRow("503 three times") << record("1", "\"3.1.0\"", "1620403201") << -3 << checkFailed;
}

void TestVersionCheck::decision()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, headline);

    const QString endpoint = status > 0 ? server->echo(body, status)
        : status < 0 ? server->echo(body) + QStringLiteral("&busy=%1").arg(-status)
                     : QStringLiteral("http://127.0.0.1:%1/version/down_update.php").arg(TestServer::closedPort());
    TestWindow window(endpoint);
    QCOMPARE(window.headline()->text(), headline);
    const bool offered = headline == offer;
    QCOMPARE(window.button()->isHidden(), !offered);
    QCOMPARE(window.notes()->text(), offered ? QStringLiteral("修复若干问题") : QString());
    QVERIFY(window.progress()->isHidden());
}

void TestVersionCheck::signedRecord_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("keyBuiltIn");
    QTest::addColumn<QString>("headline");
    QTest::addColumn<QString>("notes");

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QJsonObject release{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", "签名的说明"},
                              {"DownloadUri", "http://127.0.0.1:1/p.msi"}, {"Size", 300000}, {"Sha256", QString(64, 'a')},
                              {"Expires", double(now + 86400)}};
    const auto bytes = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); };
    const auto with = [&release](const char *name, const QJsonValue &value) {
        QJsonObject changed = release;
        changed.insert(QLatin1String(name), value);
        return changed;
    };
    const auto without = [&release](const char *name) {
        QJsonObject changed = release;
        changed.remove(QLatin1String(name));
        return changed;
    };
    // The body a server sends: the signed pair, and beside it whatever plain members it likes.
    const auto body = [&bytes](const QJsonObject &members, const QJsonObject &plain = QJsonObject()) {
        QJsonObject data = plain;
        for (auto it = members.begin(); it != members.end(); ++it)
            data.insert(it.key(), it.value());
        return bytes(QJsonObject{{"code", 0}, {"data", data}});
    };
    // Signed as it stands, then one byte pattern changed in what is sent.
    const auto tampered = [&](const QByteArray &from, const QByteArray &to) {
        QJsonObject members = publisher.signedMembers(bytes(release));
        const QByteArray changed = bytes(release).replace(from, to);
        members.insert("SignedRecord", QString::fromLatin1(changed.toBase64()));
        return body(members);
    };
    const QJsonObject olderRelease{{"state", 1}, {"Version", "3.0.4"}, {"Time", 1600000000}, {"UpdateContent", "旧版"},
                                   {"DownloadUri", "http://127.0.0.1:1/old.msi"}, {"Size", 1}, {"Sha256", QString(64, 'b')},
                                   {"Expires", double(now + 86400)}};

    QTest::newRow("signed") << body(publisher.signedMembers(bytes(release))) << true << offer << "签名的说明";
    QTest::newRow("signed, top level") << bytes(publisher.signedMembers(bytes(release))) << true << offer << "签名的说明";
    QTest::newRow("plain members beside are not read")
        << body(publisher.signedMembers(bytes(release)), {{"UpdateContent", "请访问钓鱼网站"}}) << true << offer << "签名的说明";
    QTest::newRow("replayed older record") << body(publisher.signedMembers(bytes(olderRelease))) << true << noNewVersion << "";
    QTest::newRow("older record, plain members claim newer")
        << body(publisher.signedMembers(bytes(olderRelease)), with("Version", "9.9.9")) << true << noNewVersion << "";
    QTest::newRow("Time changed") << tampered("1700000000", "1800000000") << true << checkFailed << unverified;
    QTest::newRow("signed by another key") << body(SigningKey().signedMembers(bytes(release))) << true << checkFailed << unverified;
    QTest::newRow("plain record only") << body(QJsonObject(), release) << true << checkFailed << unverified;
    // Signed once, it could be replayed for ever to hold users on that release.
    QTest::newRow("no Expires") << body(publisher.signedMembers(bytes(without("Expires")))) << true << checkFailed << unverified;
    // Without a key the plain record counts, as it always has.
    QTest::newRow("no key, plain record") << body(QJsonObject(), release) << false << offer << "签名的说明";
    QTest::newRow("no key, signed record ignored")
        << body(publisher.signedMembers(bytes(release)), olderRelease) << false << noNewVersion << "";
}

void TestVersionCheck::signedRecord()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, keyBuiltIn);
    QFETCH(QString, headline);
    QFETCH(QString, notes);

    TestWindow window(server->echo(body), keyBuiltIn ? publisher.publicKey : QByteArray());
    QCOMPARE(window.headline()->text(), headline);
    QCOMPARE(window.notes()->text(), notes);
    QCOMPARE(window.button()->isHidden(), headline != offer);
}

void TestVersionCheck::publishedRecord_data()
{
    // A stock web server with what deploy/ gives a publisher, and the record as signrelease
    // writes it, or none yet.
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("published");
    QTest::addColumn<QString>("headline");

    QTest::newRow("nginx") << "nginx" << true << offer;
    QTest::newRow("nginx, no record yet") << "nginx" << false << checkFailed;
    QTest::newRow("PHP") << "php" << true << offer;
    QTest::newRow("PHP, no record yet") << "php" << false << checkFailed;
}

void TestVersionCheck::publishedRecord()
{
    QFETCH(QString, server);
    QFETCH(bool, published);
    QFETCH(QString, headline);

    const QJsonObject release{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", "发布的说明"},
                              {"DownloadUri", "http://127.0.0.1:1/p.msi"}, {"Size", 300000}, {"Sha256", QString(64, 'a')},
                              {"Expires", double(QDateTime::currentSecsSinceEpoch() + 86400)}};
    const QByteArray record = QJsonDocument(QJsonObject{{"data", publisher.signedMembers(QJsonDocument(release).toJson(
                                                                     QJsonDocument::Compact))}})
                                  .toJson(QJsonDocument::Compact);
    std::unique_ptr<NginxServer> web;
    QTemporaryDir root;
    QProcess php;
    QString endpoint;
    QString folder;
    if (server == QLatin1String("nginx")) {
        if (NginxServer::program().isEmpty())
            QSKIP("nginx is not installed (apt-get install nginx-light)");
        web = std::make_unique<NginxServer>();
        QVERIFY(web->isRunning());
        folder = web->root() + QStringLiteral("/version");
        endpoint = web->url(QStringLiteral("/version/down_update.php"));
    } else {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("php"));
        if (program.isEmpty())
            QSKIP("PHP is not installed (apt-get install php-cli)");
        folder = root.filePath(QStringLiteral("version"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(QStringLiteral(DEPLOY_DIR "/php/down_update.php"), folder + QStringLiteral("/down_update.php")));
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        php.start(program, {QStringLiteral("-S"), QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("-t"), root.path()});
        QVERIFY(php.waitForStarted());
        QTRY_VERIFY([port] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(200);
        }());
        endpoint = QStringLiteral("http://127.0.0.1:%1/version/down_update.php").arg(port);
    }
    if (published) {
        QFile file(folder + QStringLiteral("/down_update.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(record), qint64(record.size()));
    }

    TestWindow window(endpoint, publisher.publicKey);
    QCOMPARE(window.headline()->text(), headline);
    if (published)
        QCOMPARE(window.notes()->text(), QStringLiteral("发布的说明"));
    if (php.state() != QProcess::NotRunning) {
        php.terminate();
        php.waitForFinished();
    }
}

void TestVersionCheck::keptRecord_data()
{
    // What was kept before the check: "check" what a first check of the release kept,
    // "expired" the release kept with its validators after it expired, "torn" a cut file, ""
    // nothing. Then the check of the release with `changes`, an install number kept before,
    // the headline, and whether the record kept afterwards is the one served (else the one
    // kept before).
    QTest::addColumn<QString>("before");
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QString>("headline");
    QTest::addColumn<bool>("keptIsServed");

    const double now = QDateTime::currentSecsSinceEpoch();
    const double day = 24 * 3600;
    QTest::newRow("kept, the same again: 304") << "check" << QJsonObject() << QByteArray() << offer << true;
    QTest::newRow("kept, re-signed") << "check" << QJsonObject{{"Expires", now + 2 * day}, {"UpdateContent", "新的说明"}} << QByteArray() << offer << true;
    QTest::newRow("kept, an older record") << "check" << QJsonObject{{"Time", 1700000000}} << QByteArray() << checkFailed << false;
    QTest::newRow("kept and expired: 304") << "expired" << QJsonObject() << QByteArray() << checkFailed << true;
    QTest::newRow("torn file") << "torn" << QJsonObject() << QByteArray() << offer << true;
    QTest::newRow("rollout, not its turn") << "" << QJsonObject{{"RolloutStart", now}, {"RolloutDays", 30}} << QByteArray("4294967295") << noNewVersion << true;
}

void TestVersionCheck::keptRecord()
{
    QFETCH(QString, before);
    QFETCH(QJsonObject, changes);
    QFETCH(QByteArray, number);
    QFETCH(QString, headline);
    QFETCH(bool, keptIsServed);

    QTemporaryDir files;
    QTemporaryDir keptFolder;
    const CheckMemory memory(keptFolder.path());
    const QString bodyPath = files.filePath(QStringLiteral("record.json"));
    const auto publish = [&bodyPath, this](const QJsonObject &record) {
        const QJsonObject pair = publisher.signedMembers(QJsonDocument(record).toJson(QJsonDocument::Compact));
        QFile file(bodyPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(QJsonObject{{"data", pair}}).toJson()) <= 0)
            qFatal("cannot publish");
        return pair;
    };
    QJsonObject release{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1800000000}, {"UpdateContent", "说明"},
                        {"DownloadUri", "http://127.0.0.1:1/p.msi"}, {"Size", 300000}, {"Sha256", QString(64, 'a')},
                        {"Expires", double(QDateTime::currentSecsSinceEpoch() + 86400)}};
    TestServer records({QStringLiteral("--body"), bodyPath});
    QVERIFY(records.isRunning());
    const QString endpoint = records.url(QStringLiteral("/version/down_update.php"));

    QJsonObject keptBefore;
    if (before == QLatin1String("check")) {
        keptBefore = publish(release);
        TestWindow first(endpoint, publisher.publicKey, keptFolder.path());
        QCOMPARE(first.headline()->text(), offer);
    } else if (before == QLatin1String("expired")) {
        release.insert("Expires", double(QDateTime::currentSecsSinceEpoch() - 1));
        keptBefore = publish(release);
        Comm::Conditional validators;
        Comm().httpGet(endpoint, nullptr, Comm::httpGetTimeoutMs, nullptr, &validators);
        memory.keep(keptBefore, validators.etag, validators.lastModified);
    }
    // A torn record, or this install's number.
    for (const auto &[name, bytes] : {std::pair{"record.json", before == QLatin1String("torn") ? QByteArray(R"({"SignedRecord":"eyJz)") : QByteArray()},
                                      std::pair{"install-number", number}}) {
        QFile file(keptFolder.filePath(QLatin1String(name)));
        QVERIFY(bytes.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()));
    }
    for (auto it = changes.begin(); it != changes.end(); ++it)
        release.insert(it.key(), it.value());
    const QJsonObject served = before == QLatin1String("expired") ? keptBefore : publish(release);

    TestWindow window(endpoint, publisher.publicKey, keptFolder.path());
    QCOMPARE(window.headline()->text(), headline);
    const std::optional<CheckMemory::Kept> kept = memory.record(publisher.publicKey);
    QVERIFY(kept);
    QCOMPARE(kept->pair.value("SignedRecord"), (keptIsServed ? served : keptBefore).value("SignedRecord"));

    // The check asks conditionally when a record of the publisher's is kept.
    const QList<QByteArray> asked = Comm().httpGet(records.url("/requests?header=If-None-Match")).trimmed().split('\n');
    QCOMPARE(asked.last() != "/version/down_update.php -", before == QLatin1String("check") || before == QLatin1String("expired"));
}

QTEST_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"
