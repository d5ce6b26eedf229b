#include "app/InstanceLock.h"
#include "app/release.h"
#include "comm/Comm.h"
#include "downloadrun.h"
#include "net/DownloadState.h"
#include "net/ProxyLogin.h"
#include "net/ProxyFactory.h"
#include "net/KeptFile.h"
#include "signingkey.h"
#include "systemproxy.h"
#include "testserver.h"
#include "testwindow.h"

#include <QDesktopServices>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void failure_data();
    void failure();
    void integrity_data();
    void integrity();
    void success_data();
    void success();
    void resume_data();
    void resume();
    void retries_data();
    void retries();
    void mirrors_data();
    void mirrors();
    void secondPressStartsNothing();
    void closedDownloadResumes_data();
    void closedDownloadResumes();
    void writeFailure();
    void endlessUndeclaredBodyStops();
    void systemProxy_data();
    void systemProxy();
    void proxyLogin_data();
    void proxyLogin();
    void proxySettingWithLogin_data();
    void proxySettingWithLogin();
    void progress_data();
    void progress();
    void packageFolder_data();
    void packageFolder();
    void leftoverPartialFiles_data();
    void leftoverPartialFiles();
    void liveDownloadSurvivesCleanup();
    void instanceLock_data();
    void instanceLock();

private:
    QString offerFor(const QString &downloadUri, const QJsonObject &members = QJsonObject(), bool sign = false) const
    {
        return ::offerFor(*server, downloadUri, members, sign ? &publisher : nullptr);
    }
    void checkRefused(TestWindow &window, Failure::Cause cause, const QStringList &left);
    QStringList leftovers() const;

    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestServer> tlsServer;
    // Stands in for the proxy the system names; one for all rows.
    std::unique_ptr<TestServer> proxyServer;
    // Squid asking for a login, where the update host's name resolves; not running where
    // squid is not installed.
    std::unique_ptr<TestServer> squid;
    std::unique_ptr<QTemporaryDir> workDir;
    QTemporaryDir runtimeDir;
    DesktopRecorder desktop;
    QString startDir;
    SigningKey publisher;
};

static const QString installerName = QStringLiteral("QuorilexVideo_32.msi");

void TestDownload::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->isRunning());
    tlsServer = TestServer::startTls();
    QVERIFY(tlsServer->isRunning());
    proxyServer = std::make_unique<TestServer>();
    QVERIFY(proxyServer->isRunning());
    squid = TestServer::startProxyWithLogin(QStringLiteral("updates.quorilex.test"));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "open");
    startDir = QDir::currentPath();
    QCOMPARE(publisher.publicKey.size(), 32);
    // The user's own runtime folder, where the instance lock lives.
    QVERIFY(runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
}

void TestDownload::init()
{
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    desktop.opened.clear();
}

void TestDownload::cleanup()
{
    setSystemProxy(QString());
    QDir::setCurrent(startDir);
    workDir.reset();
}

QStringList TestDownload::leftovers() const
{
    return QDir(workDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

void TestDownload::failure_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<int>("cause");

    QTest::newRow("404") << server->url("/status/404") << int(Failure::HttpStatus);
    QTest::newRow("500") << server->url("/status/500") << int(Failure::HttpStatus);
    QTest::newRow("206 to a plain request") << server->url("/package?size=100000&status=206") << int(Failure::HttpStatus);
    QTest::newRow("redirect to 404") << server->url("/redirect?to=/status/404") << int(Failure::HttpStatus);
    QTest::newRow("https to http") << tlsServer->url("/redirect?to=" + QUrl::toPercentEncoding(server->url("/package?size=1000")))
                                   << int(Failure::UnsafeRedirect);
    QTest::newRow("redirect loop") << server->url("/loop") << int(Failure::TooManyRedirects);
    // Only the package's own allocation table can tell.
    QTest::newRow("cut short, no length") << server->url("/package?size=300000&short=100000&length=0") << int(Failure::CutShort);
    QTest::newRow("captive portal page") << server->echo("<html><body>请登录</body></html>") << int(Failure::NotAnInstaller);
    QTest::newRow("not an installer") << server->url("/package?size=100000&signature=0") << int(Failure::NotAnInstaller);
    QTest::newRow("empty body") << server->url("/package?size=0") << int(Failure::NotAnInstaller);
    // Which length holds would be up to whoever reads the header.
    QTest::newRow("two Content-Lengths") << server->url("/package?size=100000&framing=twolengths") << int(Failure::SizeMismatch);
    QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:%1/p.msi").arg(TestServer::closedPort()) << int(Failure::NetworkFailure);
    QTest::newRow("empty address") << "" << int(Failure::InvalidAddress);
    QTest::newRow("relative address") << "QuorilexVideo_32.msi" << int(Failure::InvalidAddress);
    QTest::newRow("ftp address") << "ftp://127.0.0.1/QuorilexVideo_32.msi" << int(Failure::InvalidAddress);
}

void TestDownload::failure()
{
    QFETCH(QString, uri);
    QFETCH(int, cause);

    // A stale package is deleted before any download, whether it then succeeds or not.
    QFile stale(installerName);
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("old");
    stale.close();
    const bool startsTransfer = cause != Failure::InvalidAddress;

    TestWindow window(offerFor(uri));
    QVERIFY(window.button()->isVisibleTo(&window));
    checkRefused(window, Failure::Cause(cause), startsTransfer ? QStringList() : QStringList{installerName});
}

// Presses the button and expects the download to fail with the cause shown, nothing handed
// off, nothing but `left` in the folder and the button ready for another try.
void TestDownload::checkRefused(TestWindow &window, Failure::Cause cause, const QStringList &left)
{
    QCOMPARE(pressAndWait(window), 1);
    QCOMPARE(window.headline()->text(), QStringLiteral("下载失败，请重试"));
    QCOMPARE(window.failure()->cause, cause);
    QVERIFY(window.progress()->isHidden());
    QVERIFY(window.button()->isVisible());
    QVERIFY(window.button()->isEnabled());
    QVERIFY(desktop.opened.isEmpty());
    QCOMPARE(leftovers(), left);
}

void TestDownload::integrity_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonObject>("members");
    // Members inside a record signed by the publisher, whose key the window carries.
    QTest::addColumn<bool>("signedRecord");
    // -1: installed.
    QTest::addColumn<int>("cause");

    const QString path = QStringLiteral("/package?size=300000");
    Comm comm;
    const QByteArray package = comm.httpGet(server->url(path));
    QCOMPARE(package.size(), 300000);
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
    const QString otherSha256 = QString(sha256).replace(0, 1, sha256[0] == '0' ? "1" : "0");
    const QByteArray signature = SigningKey().sign(package);
    const int good = -1;

    QTest::newRow("no members") << path << QJsonObject() << false << good;
    QTest::newRow("size matches") << path << QJsonObject{{"Size", 300000}} << false << good;
    QTest::newRow("package shorter than its size") << path << QJsonObject{{"Size", 300001}} << false << int(Failure::SizeMismatch);
    QTest::newRow("package longer than its size") << path << QJsonObject{{"Size", 299999}} << false << int(Failure::SizeMismatch);
    QTest::newRow("endless body") << "/package?size=100000000000&length=0" << QJsonObject{{"Size", 300000}} << false << int(Failure::SizeMismatch);
    QTest::newRow("size as a string") << path << QJsonObject{{"Size", "300000"}} << false << int(Failure::MalformedMember);
    QTest::newRow("negative size") << path << QJsonObject{{"Size", -1}} << false << int(Failure::MalformedMember);
    QTest::newRow("hash matches") << path << QJsonObject{{"Sha256", sha256}} << false << good;
    QTest::newRow("hash in upper case") << path << QJsonObject{{"Sha256", sha256.toUpper()}} << false << good;
    QTest::newRow("hash mismatch") << path << QJsonObject{{"Sha256", otherSha256}} << false << int(Failure::HashMismatch);
    QTest::newRow("hash too short") << path << QJsonObject{{"Sha256", sha256.left(63)}} << false << int(Failure::MalformedMember);
    // Without a key a package signature is not checked, only its form, as it always was.
    QTest::newRow("package signature by anyone") << path << QJsonObject{{"Signature", QString::fromLatin1(signature.toBase64())}} << false << good;
    QTest::newRow("package signature too short") << path << QJsonObject{{"Signature", QString::fromLatin1(signature.left(32).toBase64())}} << false << int(Failure::MalformedMember);
    QTest::newRow("package signature not base64") << path << QJsonObject{{"Signature", "not*base64"}} << false << int(Failure::MalformedMember);
    QTest::newRow("signed record") << path << QJsonObject{{"Size", 300000}, {"Sha256", sha256}} << true << good;
    QTest::newRow("signed record, other package") << path << QJsonObject{{"Size", 300000}, {"Sha256", otherSha256}} << true << int(Failure::HashMismatch);
    QTest::newRow("signed record, other size") << path << QJsonObject{{"Size", 300001}, {"Sha256", sha256}} << true << int(Failure::SizeMismatch);
    // Lengths beyond the limit are believed from the publisher only, and then must fit the
    // disk; a slow server keeps a build that writes on from filling this machine's disk.
    // Nothing came at all: the network failed, whatever the record's size.
    QTest::newRow("refused, size in the record") << QStringLiteral("http://127.0.0.1:%1/p.msi").arg(TestServer::closedPort())
                                                 << QJsonObject{{"Size", 300000}} << false << int(Failure::NetworkFailure);
    QTest::newRow("declared 10 TiB, no Size") << "/package?size=10995116277760&rate=1000000" << QJsonObject() << false
                                              << int(Failure::TooLarge);
    QTest::newRow("signed size beyond the free space")
        << "/package?size=1125899906842624&rate=1000000" << QJsonObject{{"Size", 1125899906842624.0}, {"Sha256", sha256}}
        << true << int(Failure::DiskFull);
}

void TestDownload::integrity()
{
    QFETCH(QString, path);
    QFETCH(QJsonObject, members);
    QFETCH(bool, signedRecord);
    QFETCH(int, cause);

    const QString uri = path.startsWith(QLatin1String("http")) ? path : server->url(path);
    TestWindow window(offerFor(uri, members, signedRecord), signedRecord ? publisher.publicKey : QByteArray());
    if (cause >= 0) {
        checkRefused(window, Failure::Cause(cause), QStringList());
        return;
    }
    QCOMPARE(pressAndWait(window), 0);
    QCOMPARE(desktop.opened.size(), 1);
    QCOMPARE(QFileInfo(installerName).size(), 300000);
}

void TestDownload::success_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("stale");

    const QString package = QStringLiteral("/package?size=300000");
    QTest::newRow("known length") << server->url(package) << false;
    QTest::newRow("unknown length") << server->url("/package?size=300000&length=0") << false;
    QTest::newRow("redirect") << server->url("/redirect?to=/package%3Fsize%3D300000") << false;
    QTest::newRow("stale file replaced") << server->url(package) << true;
    QTest::newRow("several chunks") << server->url("/package?size=1000000") << false;
    // The chunks end the body, whatever length the header names.
    QTest::newRow("chunked, with a wrong Content-Length") << server->url("/package?size=300000&framing=chunked") << false;
    QTest::newRow("https") << tlsServer->url(package) << false;
    QTest::newRow("http to https") << server->url("/redirect?to=" + QUrl::toPercentEncoding(tlsServer->url(package))) << false;
}

void TestDownload::success()
{
    QFETCH(QString, url);
    QFETCH(bool, stale);

    if (stale) {
        QFile old(installerName);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(400000, 'x'));
    }
    TestWindow window(offerFor(url));
    // The window's text says why, should it fail.
    QVERIFY2(pressAndWait(window) == 0, qPrintable(window.notes()->text().toUtf8().toPercentEncoding()));

    QCOMPARE(leftovers(), QStringList{installerName});
    const QString absolute = QFileInfo(installerName).absoluteFilePath();
    QCOMPARE(desktop.opened, QList<QUrl>{QUrl::fromLocalFile(absolute)});
    QFile file(absolute);
    QVERIFY(file.open(QIODevice::ReadOnly));
    Comm comm;
    QCOMPARE(file.readAll(), comm.httpGet(url));
    // Every request names the updater, its release, the system and the architecture.
    const QRegularExpression agent(QStringLiteral("^\\S+ UpdateQuorilexVideo/%1 \\(%2; [^();]+; [^();]+\\)$").arg(updaterVersion, currentVersion));
    for (const QByteArray &line : comm.httpGet(server->url("/requests?header=User-Agent")).trimmed().split('\n'))
        QVERIFY2(agent.match(QString::fromUtf8(line)).hasMatch(), line.constData());
}

void TestDownload::resume_data()
{
    // The first answer breaks after 100,000 of 300,000 bytes; the second press asks again.
    QTest::addColumn<QString>("query");
    QTest::addColumn<QJsonObject>("members");
    QTest::addColumn<int>("firstCause");
    // Whether the second request asks for the rest, and the status it gets.
    QTest::addColumn<bool>("resumed");
    QTest::addColumn<int>("secondStatus");
    // -1 when the second attempt installs the package.
    QTest::addColumn<int>("finalCause");

    Comm comm;
    const QString packageSha256 = QString::fromLatin1(
        QCryptographicHash::hash(comm.httpGet(server->url("/package?size=300000")), QCryptographicHash::Sha256).toHex());
    const int good = -1;
    QTest::newRow("reset") << "reset=100000" << QJsonObject() << int(Failure::Incomplete) << true << 206 << good;
    QTest::newRow("stall") << "stall=100000" << QJsonObject() << int(Failure::TimedOut) << true << 206 << good;
    QTest::newRow("cut short") << "short=100000" << QJsonObject() << int(Failure::Incomplete) << true << 206 << good;
    QTest::newRow("Last-Modified only") << "short=100000&validators=modified" << QJsonObject() << int(Failure::Incomplete) << true << 206 << good;
    QTest::newRow("size and hash in the record") << "short=100000" << QJsonObject{{"Size", 300000}, {"Sha256", packageSha256}}
                                                 << int(Failure::Incomplete) << true << 206 << good;
    QTest::newRow("server ignores the range") << "short=100000&ranges=0" << QJsonObject() << int(Failure::Incomplete) << true << 200 << good;
    QTest::newRow("package changed") << "short=100000&etag=changing" << QJsonObject() << int(Failure::Incomplete) << true << 200 << good;
    // Nothing could tell whether the package is still the same: no range is asked for.
    QTest::newRow("weak ETag only") << "short=100000&validators=weak" << QJsonObject() << int(Failure::Incomplete) << false << 200 << int(Failure::Incomplete);
    QTest::newRow("wrong Content-Range") << "short=100000&badrange=1" << QJsonObject() << int(Failure::Incomplete) << true << 206 << int(Failure::RangeMismatch);
    QTest::newRow("resumed, hash fails") << "short=100000" << QJsonObject{{"Sha256", QString(64, '0')}} << int(Failure::Incomplete) << true << 206 << int(Failure::HashMismatch);
    // A validator goes back only when well formed, or the server could write headers into
    // the next request.
    QTest::newRow("ETag with a bare CR") << "short=100000&validators=etag&etagvalue=%22a%22%0DX-Injected:%20cr"
                                         << QJsonObject() << int(Failure::Incomplete) << false << 200 << int(Failure::Incomplete);
    // One byte every quarter second: never stalled, never getting anywhere.
    QTest::newRow("crawls") << "crawl=100000" << QJsonObject() << int(Failure::TimedOut) << true << 206 << good;
}

void TestDownload::resume()
{
    QFETCH(QString, query);
    QFETCH(QJsonObject, members);
    QFETCH(int, firstCause);
    QFETCH(bool, resumed);
    QFETCH(int, secondStatus);
    QFETCH(int, finalCause);

    const qint64 size = 300000;
    // Rows share the server, so each asks for a path of its own.
    static int row = 0;
    const QString path = QStringLiteral("/package?size=300000&%1&row=%2").arg(query, QString::number(++row));
    TestWindow window(offerFor(server->url(path), members));
    window.limitStall(1000);
    window.limitCrawl(3000);
    QCOMPARE(pressAndWait(window), 1);
    QCOMPARE(window.failure()->cause, Failure::Cause(firstCause));
    // Qt may send a request again by itself when a connection closes early: the first
    // attempt's answers are all those logged by now.
    const int firstAttempt = server->transfers(path).size();
    QVERIFY(firstAttempt >= 1);

    window.show();
    QTest::mouseClick(window.button(), Qt::LeftButton);
    // The bar picks up where the first attempt stopped.
    QCOMPARE(window.progress()->maximum(), resumed ? int(size) : 1);
    const qint64 kept = window.progress()->value();
    QCOMPARE(kept > 0, resumed);
    QCOMPARE(runUntilSettled(window), finalCause < 0 ? 0 : 1);

    Comm comm;
    // Each attempt's answers: Qt sends a request again by itself when a connection closes
    // early, so an attempt may have a second answer that sent nothing.
    const auto secondAttempt = [&] { return server->transfers(path).mid(firstAttempt); };
    const auto sent = [](const QList<Transfer> &transfers) {
        qint64 total = 0;
        for (const Transfer &transfer : transfers)
            total += transfer.sent;
        return total;
    };
    // The server counts the bytes it sent after the client has them.
    QTRY_VERIFY2(sent(secondAttempt()) > 0, comm.httpGet(server->url("/requests?detail=1")).constData());
    const QList<Transfer> first = server->transfers(path).mid(0, firstAttempt);
    QVERIFY(sent(first) >= kept);
    for (const Transfer &transfer : first) {
        QCOMPARE(transfer.range, QStringLiteral("-"));
        QCOMPARE(transfer.status, 200);
    }
    for (const Transfer &transfer : secondAttempt()) {
        QCOMPARE(transfer.range, resumed ? QStringLiteral("bytes=%1-").arg(kept) : QStringLiteral("-"));
        QCOMPARE(transfer.status, secondStatus);
    }
    if (finalCause >= 0) {
        QCOMPARE(window.failure()->cause, Failure::Cause(finalCause));
        QVERIFY(desktop.opened.isEmpty());
        // Nothing was kept: the next press starts from byte 0.
        const int before = server->transfers(path).size();
        QCOMPARE(pressAndWait(window), 1);
        QTRY_VERIFY(server->transfers(path).size() > before);
        QCOMPARE(server->transfers(path).value(before).range, QStringLiteral("-"));
        return;
    }
    // A resumed transfer sends only the rest.
    QTRY_COMPARE(sent(secondAttempt()), secondStatus == 206 ? size - kept : size);
    QCOMPARE(leftovers(), QStringList{installerName});
    QFile file(installerName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), comm.httpGet(server->url("/package?size=300000")));
}

void TestDownload::retries_data()
{
    QTest::addColumn<QString>("query");
    // Each answer's Range (- for none) and status, in order.
    QTest::addColumn<QStringList>("answers");
    // -1 when the package is handed off; else the failure shown once the retries are spent.
    QTest::addColumn<int>("finalCause");
    // What the bar said first while it waited; empty when it never did.
    QTest::addColumn<QString>("waiting");

    const int good = -1;
    const int status = int(Failure::HttpStatus);
    QTest::newRow("two resets") << "resetevery=120000" << QStringList{"- 200", "bytes=120000- 206", "bytes=240000- 206"}
                                << good << "网络中断，1 秒后重试";
    QTest::newRow("503 with Retry-After: 2") << "busy=1&retryafter=2" << QStringList{"- 503", "- 200"} << good << "服务器繁忙，";
    QTest::newRow("503 until the retries are spent") << "busy=5" << QStringList{"- 503", "- 503", "- 503"} << status << "服务器繁忙，1 秒后重试";
    QTest::newRow("Retry-After beyond a minute") << "busy=1&retryafter=61" << QStringList{"- 503"} << status << "";
    QTest::newRow("404") << "status=404" << QStringList{"- 404"} << status << "";
}

// One press: transient failures are tried again by themselves, from the bytes kept.
void TestDownload::retries()
{
    QFETCH(QString, query);
    QFETCH(QStringList, answers);
    QFETCH(int, finalCause);
    QFETCH(QString, waiting);

    static int row = 0;
    const QString path = QStringLiteral("/package?size=300000&%1&row=%2").arg(query, QString::number(++row));
    TestWindow window(offerFor(server->url(path)));
    window.retryAfter(100, 2);
    QStringList shown;
    QElapsedTimer clock;
    qint64 waited = -1;
    connect(window.download(), &DownloadJob::waiting, &window, [&] {
        shown << window.progress()->format();
        // The button cannot be pressed while the download waits.
        QVERIFY(!window.button()->isEnabled());
        if (!clock.isValid())
            clock.start();
    });
    connect(window.download(), &DownloadJob::retrying, &window, [&] {
        if (waited < 0)
            waited = clock.elapsed();
    });
    QCOMPARE(pressAndWait(window), finalCause < 0 ? 0 : 1);

    // The wait is drawn at random: the seconds it shows are at least the server's.
    QVERIFY2(waiting.isEmpty() ? shown.isEmpty() : shown.value(0).startsWith(waiting), qPrintable(shown.value(0)));
    // A Retry-After is waited for in full.
    if (query.contains(QLatin1String("retryafter=2")))
        QVERIFY2(waited >= 2000, qPrintable(QString::number(waited)));
    QStringList got;
    // Qt sends a request again by itself when a connection closes early: such an answer
    // sends nothing, or (on a loaded machine, the reset coming first) repeats the one before.
    for (const Transfer &transfer : server->transfers(path)) {
        const QString answer = QStringLiteral("%1 %2").arg(transfer.range).arg(transfer.status);
        if ((transfer.sent > 0 || transfer.status >= 300) && !(transfer.status < 300 && got.value(got.size() - 1) == answer))
            got << answer;
    }
    QCOMPARE(got, answers);
    if (finalCause >= 0) {
        QCOMPARE(window.failure()->cause, Failure::Cause(finalCause));
        return;
    }
    Comm comm;
    QFile file(installerName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == comm.httpGet(server->url("/package?size=300000")));
}

void TestDownload::mirrors_data()
{
    QTest::addColumn<QString>("downloadUri");
    QTest::addColumn<QStringList>("mirrors");
    // -1 when the package is handed off.
    QTest::addColumn<int>("finalCause");

    const QString dead = QStringLiteral("http://127.0.0.1:%1/p.msi").arg(TestServer::closedPort());
    const QString sound = server->url("/package?size=300000&mirror=1");
    QTest::newRow("dead record address, sound mirror") << dead << QStringList{sound} << -1;
    QTest::newRow("404 at the record address, sound mirror") << server->url("/status/404") << QStringList{dead, sound} << -1;
    QTest::newRow("every source dead") << dead << QStringList{dead} << int(Failure::NetworkFailure);
    // 450 bytes a second is no crawl, but would take eleven minutes: the mirror brings the rest.
    QTest::newRow("slow record address, fast mirror") << server->url("/package?size=300000&rate=450&mirror=2") << QStringList{sound} << -1;
}

// A source that turns the download away gives way to the next one, at once.
void TestDownload::mirrors()
{
    QFETCH(QString, downloadUri);
    QFETCH(QStringList, mirrors);
    QFETCH(int, finalCause);

    TestWindow window(offerFor(downloadUri, {{"Mirrors", QJsonArray::fromStringList(mirrors)}}));
    // The pace is taken within seconds.
    window.limitCrawl(4000);
    QCOMPARE(pressAndWait(window), finalCause < 0 ? 0 : 1);
    if (finalCause >= 0) {
        QCOMPARE(window.failure()->cause, Failure::Cause(finalCause));
        return;
    }
    QCOMPARE(leftovers(), QStringList{installerName});
    QCOMPARE(QFileInfo(installerName).size(), 300000);
}

void TestDownload::secondPressStartsNothing()
{
    TestWindow window(offerFor(server->url("/package?size=2000000&rate=4000000")));
    window.show();
    QTest::mouseClick(window.button(), Qt::LeftButton);
    QVERIFY(!window.button()->isEnabled());
    QTest::mouseClick(window.button(), Qt::LeftButton);
    window.SendDownUpdate();

    QCOMPARE(runUntilSettled(window), 0);
    QCOMPARE(desktop.opened.size(), 1);
    QCOMPARE(QFileInfo(installerName).size(), 2000000);
    Comm comm;
    const QByteArray requests = comm.httpGet(server->url("/requests"));
    QCOMPARE(requests.count("/package?size=2000000"), 1);
}

// A closed window keeps the bytes; the next start goes on from them if it offers the same
// package, and drops them if it offers another.
void TestDownload::closedDownloadResumes_data()
{
    QTest::addColumn<bool>("sameRelease");
    QTest::newRow("same release") << true;
    QTest::newRow("another release") << false;
}

void TestDownload::closedDownloadResumes()
{
    QFETCH(bool, sameRelease);
    const qint64 size = 1000000;
    static int row = 0;
    const QString path = QStringLiteral("/package?size=1000000&rate=1000000&row=%1").arg(++row);
    {
        // Credentials in the address are the user's secret: the state names it without them,
        // and a later offer under another token is the same package.
        TestWindow window(offerFor(server->url(path + QStringLiteral("&token=s3cret")).replace(QStringLiteral("://"), QStringLiteral("://alice:pw@")),
                                   {{"Size", size}}));
        window.show();
        QTest::mouseClick(window.button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(window.progress()->value() > 0, 10000);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QStringList kept = leftovers();
    QCOMPARE(kept.size(), 2);
    const QString statePath = kept.filter(QStringLiteral(".state")).value(0);
    const std::optional<DownloadState> state = DownloadState::read(statePath);
    QVERIFY(state);
    QVERIFY(state->spans.size() > 0 && state->spans.size() < size);
    QVERIFY(QFileInfo(kept.filter(QStringLiteral(".part")).value(0)).size() >= state->spans.size());
    QCOMPARE(state->url, server->url(QStringLiteral("/package")));
#ifdef Q_OS_UNIX
    // Nobody else may read it.
    QCOMPARE(QFile::permissions(statePath) & 0x0077, QFile::Permissions());
#endif

    // Another release comes from another server.
    TestServer &nextServer = sameRelease ? *server : *proxyServer;
    const QString next = sameRelease ? path : path + QStringLiteral("&release=2");
    TestWindow window(offerFor(nextServer.url(next), {{"Size", size}}));
    // The offer of another release drops the bytes of this one.
    QCOMPARE(leftovers(), sameRelease ? kept : QStringList());
    window.show();
    QTest::mouseClick(window.button(), Qt::LeftButton);
    QCOMPARE(window.progress()->value(), sameRelease ? int(state->spans.size()) : 0);
    QCOMPARE(runUntilSettled(window), 0);

    const QList<Transfer> answers = nextServer.transfers(next);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].range, sameRelease ? QStringLiteral("bytes=%1-").arg(state->spans.size()) : QStringLiteral("-"));
    QTRY_COMPARE(nextServer.transfers(next).last().sent, sameRelease ? size - state->spans.size() : size);
    QCOMPARE(leftovers(), QStringList{installerName});
    Comm comm;
    QFile file(installerName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == comm.httpGet(server->url(QStringLiteral("/package?size=1000000"))));
}

void TestDownload::writeFailure()
{
#ifdef Q_OS_UNIX
    // A file size limit makes writes fail the way a full disk does.
    struct rlimit previous;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    struct rlimit small = previous;
    small.rlim_cur = 100000;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);

    TestWindow window(offerFor(server->url("/package?size=3000000")));
    const int result = pressAndWait(window);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(result, 1);
    QCOMPARE(window.failure()->cause, Failure::DiskFull);
    // Where to make room, and how much: the bytes still to come.
    QVERIFY2(window.notes()->text().startsWith(QStringLiteral("写入失败，磁盘可能已满（%1 需要 2.")
                                                   .arg(QDir::toNativeSeparators(QDir::currentPath()))),
             qPrintable(window.notes()->text()));
    QCOMPARE(leftovers(), QStringList());
    QVERIFY(desktop.opened.isEmpty());
#else
    QSKIP("needs a file size limit");
#endif
}

void TestDownload::endlessUndeclaredBodyStops()
{
    // Neither "Size" nor Content-Length: the limit alone ends the transfer.
    TestWindow window(offerFor(server->url("/package?size=100000000000&length=0")));
    window.limitSize(3000000);
    checkRefused(window, Failure::TooLarge, QStringList());
}

void TestDownload::systemProxy_data()
{
    QTest::addColumn<bool>("bypassed");
    // What the proxied server redirects to the test server's literal loopback address, which
    // Qt would reach around the proxy: "check", "package" or nothing.
    QTest::addColumn<QString>("redirected");
    QTest::newRow("through the proxy") << false << "";
    QTest::newRow("host on the bypass list") << true << "";
    QTest::newRow("check redirected to loopback") << false << "check";
    QTest::newRow("package redirected to loopback") << false << "package";
    QTest::newRow("package redirected to loopback, trailing dot") << false << "package, trailing dot";
    // A mirror on loopback behind the public record server is passed over: the record
    // address's 404 is the failure.
    QTest::newRow("mirror on loopback") << false << "mirror";
}

// The check and the download go through the proxy the system names. The update host's name
// never resolves, so only the proxy can reach it; a test server answers as that proxy.
void TestDownload::systemProxy()
{
    QFETCH(bool, bypassed);
    QFETCH(QString, redirected);
    const QString host = QStringLiteral("quorilex-updates.invalid");
    // Marked, so that the loopback server's log tells whether anything reached it.
    QString loopbackPackage = server->url(QStringLiteral("/package?size=300000&aroundtheproxy=1"));
    if (redirected.endsWith(QLatin1String("trailing dot")))
        loopbackPackage.replace(QStringLiteral("127.0.0.1:"), QStringLiteral("127.0.0.1.:"));
    const QString package = redirected.startsWith(QLatin1String("package"))
        ? QStringLiteral("http://%1/redirect?to=%2").arg(host, QString::fromLatin1(QUrl::toPercentEncoding(loopbackPackage)))
        : redirected == QLatin1String("mirror") ? QStringLiteral("http://%1/status/404").arg(host)
                                                : QStringLiteral("http://%1/package?size=300000").arg(host);
    // The record as the proxy answers it for the update host.
    QUrl offer(redirected == QLatin1String("mirror") ? offerFor(package, {{"Mirrors", QJsonArray{loopbackPackage}}})
                                                     : offerFor(package));
    offer.setHost(host);
    offer.setPort(-1);
    const QString record = redirected == QLatin1String("check")
        ? QStringLiteral("http://%1/redirect?to=%2")
              .arg(host, QString::fromLatin1(QUrl::toPercentEncoding(offerFor(loopbackPackage))))
        : offer.toString(QUrl::FullyEncoded);
    TestServer &proxy = *proxyServer;
    Comm comm;
    // What reached the proxy in this row.
    const auto proxied = [&, before = comm.httpGet(proxy.url(QStringLiteral("/requests"))).size()] {
        return comm.httpGet(proxy.url(QStringLiteral("/requests"))).mid(before);
    };
    setSystemProxy(QUrl(proxy.url(QString())).authority(), bypassed ? host : QString());

    TestWindow window(record);
    const auto reachedLoopback = [&] { return comm.httpGet(server->url(QStringLiteral("/requests"))).contains("aroundtheproxy"); };
    if (bypassed || redirected == QLatin1String("check")) {
        QCOMPARE(window.headline()->text(), QStringLiteral("检查更新失败"));
        QCOMPARE(proxied(), bypassed ? QByteArray() : (record + '\n').toUtf8());
        QVERIFY(!reachedLoopback());
        return;
    }
    if (!redirected.isEmpty()) {
        checkRefused(window, redirected == QLatin1String("mirror") ? Failure::HttpStatus : Failure::UnsafeRedirect, QStringList());
        QVERIFY(!reachedLoopback());
        return;
    }
    QCOMPARE(pressAndWait(window), 0);
    QCOMPARE(QFileInfo(installerName).size(), 300000);
    QCOMPARE(proxied(), (record + '\n' + package + '\n').toUtf8());
}

void TestDownload::proxyLogin_data()
{
    // What the user types at each prompt, in turn: a password, or nothing for "取消".
    QTest::addColumn<QStringList>("typed");
    // The check reaches its server around the proxy: the download is the first to ask.
    QTest::addColumn<bool>("checkDirect");
    QTest::addColumn<bool>("downloaded");
    // The system's proxy setting carries the login ("user:password@host:port").
    QTest::addColumn<bool>("loginInSetting");
    const QString right = QString::fromLatin1(TestServer::squidPassword);
    QTest::newRow("typed once") << QStringList{right} << false << true << false;
    QTest::newRow("wrong, then right") << QStringList{"wrong", right} << false << true << false;
    QTest::newRow("declined") << QStringList{QString()} << false << false << false;
    QTest::newRow("download asks") << QStringList{right} << true << true << false;
    QTest::newRow("download asks, declined") << QStringList{QString()} << true << false << false;
    QTest::newRow("login in the system's setting") << QStringList{} << false << true << true;
}

// A proxy that asks for a login gets the one typed, asked for once for the check and the
// download's connections alike; a refused one is asked for again, and a declined one says so.
void TestDownload::proxyLogin()
{
    QFETCH(QStringList, typed);
    QFETCH(bool, checkDirect);
    QFETCH(bool, downloaded);
    QFETCH(bool, loginInSetting);
    const QString host = QStringLiteral("updates.quorilex.test");
    if (!squid->isRunning())
        QSKIP("squid is not installed");
    QList<ProxyLogin::Request> asked;
    ProxyLogin::instance().setAsker([&](const ProxyLogin::Request &request, QString *user, QString *password) {
        asked << request;
        if (asked.size() > typed.size() || typed[asked.size() - 1].isEmpty())
            return false;
        *user = QString::fromLatin1(TestServer::squidUser);
        *password = typed[asked.size() - 1];
        return true;
    });
    const auto noAsker = qScopeGuard([] { ProxyLogin::instance().setAsker(nullptr); });
    const QString proxy = QUrl(squid->url(QString())).authority();
    const QString login = QStringLiteral("%1:%2@").arg(QString::fromLatin1(TestServer::squidUser),
                                                         QString::fromLatin1(QUrl::toPercentEncoding(TestServer::squidPassword)));
    setSystemProxy(loginInSetting ? login + proxy : proxy, checkDirect ? QStringLiteral("127.0.0.1") : QString());
    // Several connections at once, on managers of their own, with the login typed once.
    QUrl package(server->url(QStringLiteral("/package?size=20000000&rate=2000000")));
    package.setHost(host);
    QUrl record(offerFor(package.toString()));
    if (!checkDirect)
        record.setHost(host);

    TestWindow window(record.toString());
    QCOMPARE(asked.size(), checkDirect ? 0 : typed.size());
    if (!downloaded && !checkDirect) {
        QCOMPARE(window.headline()->text(), QStringLiteral("检查更新失败"));
    } else {
        QCOMPARE(pressAndWait(window), downloaded ? 0 : 1);
        QCOMPARE(QFileInfo(installerName).size(), downloaded ? 20000000 : 0);
    }
    QCOMPARE(asked.size(), typed.size());
    for (int i = 0; i < asked.size(); ++i) {
        QCOMPARE(asked[i].proxy, proxy);
        QCOMPARE(asked[i].refused, i > 0);
    }
    if (!downloaded)
        QCOMPARE(window.notes()->text(), QStringLiteral("代理服务器需要登录（%1）").arg(proxy));
}

void TestDownload::proxySettingWithLogin_data()
{
    // Windows' proxy setting: its server and bypass lists; the host asked for.
    QTest::addColumn<QString>("servers");
    QTest::addColumn<QString>("bypass");
    QTest::addColumn<QString>("host");
    // The proxy used ("user password host:port"), or nothing when Qt's own reading stands.
    QTest::addColumn<QString>("proxy");

    QTest::newRow("login in the setting") << "alice:s%20cret@proxy:3128" << "" << "updates.example" << "alice s cret proxy:3128";
    QTest::newRow("no port, a scheme") << "http://alice:pw@proxy" << "" << "updates.example" << "alice pw proxy:8080";
    QTest::newRow("no login") << "proxy:3128" << "" << "updates.example" << "";
    QTest::newRow("tagged for http") << "https=bob:x@other:1;http=alice:pw@proxy:3128" << "" << "updates.example"
                                     << "alice pw proxy:3128";
    QTest::newRow("host on the bypass list") << "alice:pw@proxy:3128" << "*.example;<local>" << "updates.example" << "";
    QTest::newRow("loopback") << "alice:pw@proxy:3128" << "" << "127.0.0.1" << "";
}

// A login in the proxy setting, which Qt passes over (going around the proxy), is used.
void TestDownload::proxySettingWithLogin()
{
    QFETCH(QString, servers);
    QFETCH(QString, bypass);
    QFETCH(QString, host);
    QFETCH(QString, proxy);
    const std::optional<QNetworkProxy> found =
        ProxyFactory::withLogin(servers, bypass, QNetworkProxyQuery(QUrl(QStringLiteral("http://%1/v").arg(host))));
    QCOMPARE(found ? QStringLiteral("%1 %2 %3:%4").arg(found->user(), found->password(), found->hostName()).arg(found->port())
                   : QString(),
             proxy);
}

void TestDownload::progress_data()
{
    QTest::addColumn<qint64>("bytesRead");
    QTest::addColumn<qint64>("totalBytes");
    // The bar's maximum and value: bytes while the total fits an int, else scaled by a power of two.
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    // How the bar's text begins.
    QTest::addColumn<QString>("text");

    const qint64 GiB = Q_INT64_C(1) << 30;
    QTest::newRow("half") << Q_INT64_C(50) << Q_INT64_C(100) << 100 << 50 << "50%";
    QTest::newRow("bytes of a 1 MiB package") << Q_INT64_C(123456) << Q_INT64_C(1048576) << 1048576 << 123456 << "11%";
    QTest::newRow("largest exact total") << Q_INT64_C(1000000000) << Q_INT64_C(2147483647) << 2147483647 << 1000000000 << "46%";
    QTest::newRow("2 GiB, halved") << GiB << 2 * GiB << int(GiB) << int(GiB / 2) << "50%";
    QTest::newRow("3 GiB of 4 GiB") << 3 * GiB << 4 * GiB << int(GiB) << int(3 * GiB / 4) << "75%";
    QTest::newRow("1 byte of 8 GiB") << Q_INT64_C(1) << 8 * GiB << int(GiB) << 0 << "0%";
    QTest::newRow("all of 5 GiB") << 5 * GiB << 5 * GiB << int(5 * GiB / 4) << int(5 * GiB / 4) << "100%";
    QTest::newRow("more than announced") << Q_INT64_C(200) << Q_INT64_C(100) << 100 << 100 << "100%";
    // A busy bar would draw no text: unknown totals show an empty bar that says what came.
    QTest::newRow("unknown total") << Q_INT64_C(1000) << Q_INT64_C(-1) << 1 << 0 << "已下载 1000 B";
    QTest::newRow("unknown total, 3.2 MB") << Q_INT64_C(3355443) << Q_INT64_C(-1) << 1 << 0 << "已下载 3.2 MB";
    QTest::newRow("empty body") << Q_INT64_C(0) << Q_INT64_C(0) << 1 << 0 << "已下载 0 B";
    // Bytes that stop coming show as a stall, not as the average speed (a silence of 0 ms
    // stands for the real 5 s).
    QTest::newRow("no byte since") << Q_INT64_C(50) << Q_INT64_C(100) << 100 << 50 << "50%  0 秒未收到数据";
    QTest::newRow("no byte since, unknown total") << Q_INT64_C(50) << Q_INT64_C(-1) << 1 << 0 << "已下载 50 B  0 秒未收到数据";
}

void TestDownload::progress()
{
    QFETCH(qint64, bytesRead);
    QFETCH(qint64, totalBytes);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(QString, text);

    TestWindow window(server->echo("{}"));
    if (text.contains(QStringLiteral("未收到数据")))
        window.limitSilence(0);
    window.on_downloadProgress(bytesRead, totalBytes);
    QProgressBar *bar = window.progress();
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), maximum);
    QCOMPARE(bar->value(), value);
    QVERIFY2(bar->text().startsWith(text), qPrintable(bar->text()));
}

void TestDownload::packageFolder_data()
{
    // Which of the working folder and the user's Downloads folder can take a file, what the
    // temporary folder is ("own", "missing", or "shared" with other users, as /tmp), and where
    // the package should land ("" when nowhere).
    QTest::addColumn<bool>("working");
    QTest::addColumn<bool>("downloads");
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("expected");
    // Whether the desktop takes the package; if not, the window says where it is.
    QTest::addColumn<bool>("handedOff");
    // Whether an old package that cannot be removed sits in the working folder.
    QTest::addColumn<bool>("stuckPackage");

    QTest::newRow("working folder") << true << true << "own" << "working" << true << false;
    QTest::newRow("read-only working folder") << false << true << "own" << "downloads" << true << false;
    QTest::newRow("read-only, no Downloads folder") << false << false << "own" << "temp" << true << false;
    QTest::newRow("read-only, hand-off refused") << false << true << "own" << "downloads" << false << false;
    QTest::newRow("nowhere to write") << false << false << "missing" << "" << true << false;
    // Anybody could have put files at the updater's names there: the user's cache instead.
    QTest::newRow("read-only, shared temporary folder") << false << false << "shared" << "cache" << true << false;
    QTest::newRow("old package cannot be removed") << true << true << "own" << "downloads" << true << true;
}

void TestDownload::packageFolder()
{
#ifdef Q_OS_WIN
    QSKIP("a working folder cannot be removed here; the Windows end-to-end test writes from a read-only one");
#endif
    QFETCH(bool, working);
    QFETCH(bool, downloads);
    QFETCH(QString, temp);
    QFETCH(QString, expected);
    QFETCH(bool, handedOff);
    QFETCH(bool, stuckPackage);

    QTemporaryDir home;
    QTemporaryDir tempRoot;
    QVERIFY(home.isValid() && tempRoot.isValid());
    const QByteArray savedHome = qgetenv("HOME"), savedTemp = qgetenv("TMPDIR"), savedConfig = qgetenv("XDG_CONFIG_HOME"),
                     savedCache = qgetenv("XDG_CACHE_HOME");
    const QString tempFolder = tempRoot.filePath(temp);
    if (downloads)
        QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Downloads")));
    if (temp != QLatin1String("missing"))
        QVERIFY(QDir().mkpath(tempFolder));
    if (temp == QLatin1String("shared"))
        QVERIFY(QFile::setPermissions(tempFolder, QFile::Permissions(0x7777)));
    qputenv("HOME", home.path().toUtf8());
    qputenv("TMPDIR", tempFolder.toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_CACHE_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", savedHome);
        qputenv("TMPDIR", savedTemp);
        for (const auto &[name, saved] : {std::pair{"XDG_CONFIG_HOME", savedConfig}, std::pair{"XDG_CACHE_HOME", savedCache}})
            if (!saved.isNull())
                qputenv(name, saved);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "open");
    });
    // Nothing, not even root, can create a file in a folder that was removed.
    if (!working)
        QVERIFY(QDir().rmdir(workDir->path()));
    if (!handedOff)
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    // A folder with a file in it at the package's name: no user, root included, removes it as a file.
    if (stuckPackage)
        QVERIFY(QDir().mkpath(workDir->filePath(installerName + QStringLiteral("/held"))));

    TestWindow window(offerFor(server->url("/package?size=300000")));
    if (expected.isEmpty()) {
        QCOMPARE(pressAndWait(window), 1);
        QCOMPARE(window.notes()->text(), QStringLiteral("无法创建安装包文件"));
        return;
    }
    const QString folder = expected == QLatin1String("working") ? workDir->path()
        : expected == QLatin1String("downloads")                 ? home.filePath(QStringLiteral("Downloads"))
        : expected == QLatin1String("cache") ? home.filePath(QStringLiteral(".cache/") + QCoreApplication::applicationName())
                                             : tempFolder;
    const QString package = QDir(folder).filePath(installerName);
    if (handedOff) {
        QCOMPARE(pressAndWait(window), 0);
        QCOMPARE(desktop.opened, QList<QUrl>{QUrl::fromLocalFile(package)});
        // Another folder than the working one is named above the notes.
        QCOMPARE(window.notes()->text(), expected == QLatin1String("working")
                     ? QStringLiteral("说明")
                     : QStringLiteral("安装包将保存到：%1\n\n说明").arg(QDir::toNativeSeparators(package)));
    } else {
        window.show();
        QTest::mouseClick(window.button(), Qt::LeftButton);
        QTRY_COMPARE(window.headline()->text(), QStringLiteral("请手动安装更新"));
        QCOMPARE(window.notes()->text(), QStringLiteral("安装包已下载到：") + QDir::toNativeSeparators(package));
        // The path can be copied.
        QVERIFY(window.notes()->textInteractionFlags() & Qt::TextSelectableByMouse);
    }
    QCOMPARE(QFileInfo(package).size(), 300000);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{installerName});
}

// The state a stopped download keeps beside a partial file, with one member replaced; "torn"
// cuts it short.
static QByteArray stateWith(const QString &member = QString(), const QJsonValue &value = QJsonValue())
{
    DownloadState state;
    state.url = QStringLiteral("http://127.0.0.1/QuorilexVideo_32.msi");
    state.validator = "\"300000-1\"";
    state.length = 300000;
    state.spans.insert({0, 7});
    state.savedAt = QDateTime::currentSecsSinceEpoch();
    if (member == QLatin1String("torn"))
        return state.toJson().left(60);
    QJsonObject object = QJsonDocument::fromJson(state.toJson()).object();
    if (!member.isEmpty())
        object.insert(member, value);
    return QJsonDocument(object).toJson();
}

void TestDownload::leftoverPartialFiles_data()
{
    QTest::addColumn<QString>("name");
    // "file", "fifo", "folder", or a symbolic link: "link to a file", "link to a fifo"; a
    // file the user does not own, or others may write: "another user's file", "file open to
    // others"; a file whose state is a FIFO: "file, its state a FIFO".
    QTest::addColumn<QString>("kind");
    // Whether another updater still has it open.
    QTest::addColumn<bool>("held");
    // The state beside it, if any: the state goes with the file. A file of the user's own
    // kept with its state is taken over by the next download, from the bytes it holds.
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<bool>("removed");

    const QString partial = QStringLiteral("QuorilexVideo_32.msi.a1B2c3.part");
    const QByteArray none;
    QTest::newRow("left by a killed updater") << partial << "file" << false << none << true;
    QTest::newRow("held by a running updater") << partial << "file" << true << none << false;
    QTest::newRow("the package itself") << installerName << "file" << false << none << false;
    QTest::newRow("no random part") << "QuorilexVideo_32.msi.part" << "file" << false << none << false;
    QTest::newRow("random part too long") << "QuorilexVideo_32.msi.a1B2c3d.part" << "file" << false << none << false;
    QTest::newRow("another package") << "Other.msi.a1B2c3.part" << "file" << false << none << false;
    QTest::newRow("the user's own file") << "QuorilexVideo_32.msi.a1B2c3.txt" << "file" << false << none << false;
    QTest::newRow("a state alone") << "QuorilexVideo_32.msi.a1B2c3.state" << "file" << false << none << true;
    // What a neighbour can put in a shared folder: left alone, and never a hang.
    QTest::newRow("FIFO") << partial << "fifo" << false << none << false;
    QTest::newRow("link to a FIFO") << partial << "link to a fifo" << false << none << false;
    QTest::newRow("link to a leftover") << partial << "link to a file" << false << none << false;
    QTest::newRow("folder") << partial << "folder" << false << none << false;
    // Kept for a later press only with a state that reads, names bytes to go on from and
    // a validator that can go back in a header, and is less than a week old.
    QTest::newRow("with its state") << partial << "file" << false << stateWith() << false;
    QTest::newRow("torn state") << partial << "file" << false << stateWith("torn") << true;
    QTest::newRow("foreign state") << partial << "file" << false << QByteArray("{\"state\":1}") << true;
    QTest::newRow("state of another format") << partial << "file" << false << stateWith("format", "quorilex-partial-download 2") << true;
    QTest::newRow("state older than a week")
        << partial << "file" << false << stateWith("saved", double(QDateTime::currentSecsSinceEpoch() - DownloadState::keptForSecs - 60)) << true;
    QTest::newRow("validator with a line break") << partial << "file" << false << stateWith("validator", "\"a\"\r\nX-Injected: 1") << true;
    QTest::newRow("weak validator") << partial << "file" << false << stateWith("validator", "W/\"a\"") << true;
    QTest::newRow("span past the length") << partial << "file" << false << stateWith("spans", QJsonArray{QJsonArray{0, 300001}}) << true;
    QTest::newRow("spans overlap") << partial << "file" << false << stateWith("spans", QJsonArray{QJsonArray{0, 9}, QJsonArray{5, 20}}) << true;
    QTest::newRow("every byte in") << partial << "file" << false << stateWith("spans", QJsonArray{QJsonArray{0, 300000}}) << true;
    QTest::newRow("hash not hex") << partial << "file" << false << stateWith("sha256", QString(64, 'g')) << true;
    QTest::newRow("spans in slivers") << partial << "file" << false << stateWith("spans", [] {
        QJsonArray slivers;
        for (int at = 0; at <= 2 * DownloadState::maxSpans; at += 2)
            slivers.append(QJsonArray{at, at + 1});
        return slivers;
    }()) << true;
    // Only what the file holds is believed, whatever its state says.
    QTest::newRow("state names more than the file holds") << partial << "file" << false
                                                          << stateWith("spans", QJsonArray{QJsonArray{0, 299999}}) << false;
    // What a neighbour can plant, or leave for the user to finish: never read, taken or removed.
    QTest::newRow("another user's file") << partial << "another user's file" << false << stateWith() << false;
    QTest::newRow("file open to others") << partial << "file open to others" << false << stateWith() << false;
    QTest::newRow("FIFO at the state's name") << partial << "file, its state a FIFO" << false << none << true;
}

void TestDownload::leftoverPartialFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(bool, held);
    QFETCH(QByteArray, state);
    QFETCH(bool, removed);

    const QString statePath = KeptFile::statePathFor(name);
    const bool stateFifo = kind.endsWith(QLatin1String("its state a FIFO"));
    QFile stateFile(statePath);
    QVERIFY(state.isEmpty() || (stateFile.open(QIODevice::WriteOnly) && stateFile.write(state) == state.size()));
    stateFile.close();
    QFile file(kind.startsWith(QLatin1String("link")) ? QStringLiteral("target") : name);
#ifdef Q_OS_UNIX
    // Another user's files, made the way that user would: as root, given away.
    const auto giveAway = [](const QString &path) { return chown(QFile::encodeName(path).constData(), 65534, 65534) == 0; };
    if (kind.contains(QLatin1String("another user's")) && geteuid() != 0)
        QSKIP("only root can make another user's files");
    if (stateFifo)
        QCOMPARE(mkfifo(QFile::encodeName(statePath).constData(), 0600), 0);
#else
    if (kind != QLatin1String("file") && kind != QLatin1String("folder"))
        QSKIP("Windows has no FIFOs or owners here, and its links need privileges");
#endif
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(name));
    } else if (kind.endsWith(QLatin1String("fifo"))) {
#ifdef Q_OS_UNIX
        QCOMPARE(mkfifo(QFile::encodeName(file.fileName()).constData(), 0600), 0);
#endif
    } else {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("partial");
        QVERIFY(file.flush());
        if (held)
            KeptFile::hold(file);
        else
            file.close();
    }
#ifdef Q_OS_UNIX
    if (kind.startsWith(QLatin1String("link")))
        QVERIFY(QFile::link(file.fileName(), name));
    if (kind == QLatin1String("another user's file"))
        QVERIFY(giveAway(name));
    if (kind == QLatin1String("file open to others"))
        QVERIFY(QFile::setPermissions(name, QFile::Permissions(0x6666)));
#endif
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const auto keep = [now](const DownloadState &kept) { return !kept.expired(now); };
    KeptFile::sweep(installerName, keep);
    QCOMPARE(QFileInfo(name).exists() || QFileInfo(name).isSymLink(), !removed);
    // A planted state stays where it was put.
    QCOMPARE(QFileInfo::exists(statePath), stateFifo || (!state.isEmpty() && !removed));
    // What a link leads to is never touched.
    QVERIFY(QFileInfo::exists(file.fileName()) || !kind.startsWith(QLatin1String("link")));
    // Taken over from the bytes the file holds, and only a file of the user's own.
    const std::optional<KeptFile::Kept> taken = KeptFile::claim(installerName, keep);
    const bool ownKept = kind == QLatin1String("file") && !held && !removed && !state.isEmpty();
    QCOMPARE(taken ? taken->state.spans.size() : -1, ownKept ? qint64(7) : -1);
}

// Another updater's start-up cleanup leaves a running download's file alone.
void TestDownload::liveDownloadSurvivesCleanup()
{
    TestWindow window(offerFor(server->url("/package?size=1000000&rate=1000000")));
    window.show();
    QTest::mouseClick(window.button(), Qt::LeftButton);
    QTRY_VERIFY(window.progress()->value() > 0);
    KeptFile::sweep(installerName, [](const DownloadState &) { return true; });
    QCOMPARE(runUntilSettled(window), 0);
    Comm comm;
    QFile package(installerName);
    QVERIFY(package.open(QIODevice::ReadOnly));
    QVERIFY(package.readAll() == comm.httpGet(server->url("/package?size=1000000")));
}

void TestDownload::instanceLock_data()
{
    // What is at the lock's name before the updater starts: "nothing", "another updater",
    // "folder" or "foreign file".
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("runs");

    QTest::newRow("nothing") << "nothing" << true;
    QTest::newRow("another updater") << "another updater" << false;
    // Nothing but a live updater keeps the user from updating.
    QTest::newRow("folder") << "folder" << true;
    QTest::newRow("foreign file") << "foreign file" << true;
}

void TestDownload::instanceLock()
{
    QFETCH(QString, planted);
    QFETCH(bool, runs);

    const QString path = InstanceLock::path();
#ifndef Q_OS_WIN
    QVERIFY2(path.startsWith(runtimeDir.path() + QLatin1Char('/')), qPrintable(path));
#endif
    const auto removePlanted = qScopeGuard([&] {
        QDir(path).removeRecursively();
        QFile::remove(path);
    });
    InstanceLock other;
    if (planted == QLatin1String("another updater")) {
        QVERIFY(other.acquire());
    } else if (planted == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else if (planted == QLatin1String("foreign file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a lock\n");
    }
    InstanceLock lock;
    QCOMPARE(lock.acquire(), runs);
    // A later one asks the running one for its window.
    if (!runs) {
        QSignalSpy asked(&other, &InstanceLock::showRequested);
        QVERIFY(lock.showRunning());
        QVERIFY(asked.wait());
    }
}

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
