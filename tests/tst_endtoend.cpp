#include "app/release.h"
#include "net/DownloadState.h"
#include "net/KeptFile.h"
#include "nginxserver.h"
#include "testserver.h"
#include "testwindow.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

// The real program in a real X window, driven with a real pointer through xdotool.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowAppearsAndCrossQuits();
    void signedDownloadIsHandedOffAndQuits();
    void publishedWithNginxIsSplitAndHandedOff();
    void refusedHandOffKeepsTheWindow();
    void refusedDownloadKeepsTheWindow_data();
    void refusedDownloadKeepsTheWindow();
    void startRemovesLeftoversAndAllowsOneUpdaterPerFolder();
    void killedDownloadResumes();

private:
    void startServer(const QStringList &arguments);
    void serveSigned(const QByteArray &signedPackage, const QByteArray &servedPackage, const QStringList &arguments,
                     const QString &downloadPath = QStringLiteral("/download/QuorilexVideo_32.msi"));
    void startUpdater(const QString &path);
    QString recordingOpener();
    void expectHandOff(const QByteArray &package);
    QString waitForWindow();
    QRect windowGeometry(const QString &window);
    void clickAt(const QString &window, const QString &widgetName);
    void closeAndExpectZero(const QString &window);

    QStringList serverPort;
    QRect closeRect;
    QRect buttonRect;
    QSize formSize;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<QProcess> updater;
    std::unique_ptr<QTemporaryDir> workDir;
};

// The demo server's package of that size: a compound file, as installers must be.
static QByteArray makePackage(int size)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("package.msi"));
    QProcess writer;
    writer.start(QStringLiteral(PYTHON_EXECUTABLE), {QStringLiteral(UPDATE_SERVER_SCRIPT), QStringLiteral("--write-package"), path,
                                                     QStringLiteral("--package-size"), QString::number(size)});
    QFile package(path);
    if (!writer.waitForFinished() || writer.exitCode() != 0 || !package.open(QIODevice::ReadOnly))
        qFatal("cannot write a package of %d bytes", size);
    return package.readAll();
}

static QString xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

void TestEndToEnd::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QFAIL("needs an X display: run the suite through scripts/test.sh, which starts Xvfb");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty(), "xdotool is missing");

    // The program asks the server it was built for; the demo server has to stand there.
    const QUrl builtIn(versionCheckUrl);
    if (builtIn.host() != QLatin1String("127.0.0.1"))
        QSKIP("the updater was built for a server that is not on this machine");
    serverPort = QStringList{QStringLiteral("--port"), QString::number(builtIn.port(80))};

    // Where the cross and the button sit: the same form, laid out off screen.
    TestServer offer(serverPort);
    QVERIFY(offer.isRunning());
    TestWindow form(versionCheckUrl);
    QVERIFY(form.button()->isVisibleTo(&form));
    form.setAttribute(Qt::WA_DontShowOnScreen);
    form.show();
    auto rectOf = [&form](const char *name) {
        QWidget *widget = form.findChild<QWidget *>(QString::fromLatin1(name));
        return QRect(widget->mapTo(&form, QPoint(0, 0)), widget->size());
    };
    closeRect = rectOf("close");
    buttonRect = rectOf("updateButton");
    formSize = form.size();
}

void TestEndToEnd::init()
{
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
}

void TestEndToEnd::cleanup()
{
    if (updater) {
        updater->kill();
        updater->waitForFinished();
    }
    updater.reset();
    server.reset();
    workDir.reset();
}

void TestEndToEnd::startServer(const QStringList &arguments)
{
    server = std::make_unique<TestServer>(serverPort + arguments);
    QVERIFY(server->isRunning());
}

// Signs a release record for one package with the demo key, as signrelease writes it,
// and serves another package under it.
void TestEndToEnd::serveSigned(const QByteArray &signedPackage, const QByteArray &servedPackage,
                               const QStringList &arguments, const QString &downloadPath)
{
    const QString original = workDir->filePath(QStringLiteral("signed.msi"));
    const QString served = workDir->filePath(QStringLiteral("served.msi"));
    const QString notes = workDir->filePath(QStringLiteral("notes.txt"));
    const QString body = workDir->filePath(QStringLiteral("record.json"));
    for (const auto &file : {std::make_pair(original, signedPackage), std::make_pair(served, servedPackage),
                             std::make_pair(notes, QByteArray("1. 签名的发布"))}) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(file.second), qint64(file.second.size()));
    }
    QProcess sign;
    sign.setStandardOutputFile(body);
    sign.start(QStringLiteral(SIGNRELEASE_EXECUTABLE),
               {QStringLiteral("record"), QStringLiteral(DEMO_SECRET_KEY), original, QStringLiteral("3.1.0"),
                QStringLiteral("1764547200"), notes, QUrl(versionCheckUrl).resolved(QUrl(downloadPath)).toString()});
    QVERIFY(sign.waitForFinished());
    QCOMPARE(sign.exitCode(), 0);
    startServer(QStringList{QStringLiteral("--package"), served, QStringLiteral("--body"), body} + arguments);
}

// Starts the program in the work folder with PATH as given, so its hand-off can be watched.
void TestEndToEnd::startUpdater(const QString &path)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("BROWSER"));
    environment.remove(QStringLiteral("DEFAULT_BROWSER"));
    environment.insert(QStringLiteral("PATH"), path);
    environment.insert(QStringLiteral("HANDOFF_RECORD"), workDir->filePath(QStringLiteral("handoff.txt")));
    // A record kept by one test would be the floor of the next one's, signed at the same time.
    environment.insert(QStringLiteral("XDG_DATA_HOME"), workDir->filePath(QStringLiteral("data")));
    updater = std::make_unique<QProcess>();
    updater->setProcessEnvironment(environment);
    updater->setWorkingDirectory(workDir->filePath(QStringLiteral("run")));
    QVERIFY(QDir().mkpath(updater->workingDirectory()));
    updater->start(QStringLiteral(UPDATER_EXECUTABLE), QStringList{QStringLiteral("--unknown-option")});
    QVERIFY(updater->waitForStarted());
}

QString TestEndToEnd::waitForWindow()
{
    const QString pid = QString::number(updater->processId());
    QString window;
    for (int i = 0; i < 150 && window.isEmpty(); ++i) {
        window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), pid,
                          QStringLiteral("--name"), QStringLiteral("^UpdateQuorilexVideo$")})
                     .section(QLatin1Char('\n'), 0, 0);
        if (window.isEmpty())
            QTest::qWait(100);
    }
    if (window.isEmpty())
        qWarning().noquote() << "no window; the updater said:" << updater->readAllStandardError().right(4000);
    return window;
}

QRect TestEndToEnd::windowGeometry(const QString &window)
{
    QHash<QString, int> values;
    const QString shell = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    for (const QString &line : shell.split(QLatin1Char('\n')))
        values.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1).toInt());
    return QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                 values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
}

void TestEndToEnd::clickAt(const QString &window, const QString &widgetName)
{
    const QPoint centre = (widgetName == QLatin1String("close") ? closeRect : buttonRect).center();
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(centre.x()),
             QString::number(centre.y()), QStringLiteral("click"), QStringLiteral("1")});
}

void TestEndToEnd::closeAndExpectZero(const QString &window)
{
    clickAt(window, QStringLiteral("close"));
    QVERIFY(updater->waitForFinished(10000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
}

void TestEndToEnd::windowAppearsAndCrossQuits()
{
    startServer({QStringLiteral("--no-offer")});
    startUpdater(qEnvironmentVariable("PATH"));
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    QCOMPARE(windowGeometry(window).size(), formSize);
    QCOMPARE(formSize.width(), 700);
    QVERIFY(formSize.height() >= 400 && formSize.height() <= 402);
    closeAndExpectZero(window);
}

void TestEndToEnd::signedDownloadIsHandedOffAndQuits()
{
    const QByteArray package = makePackage(3 * 1024 * 1024 + 17);
    serveSigned(package, package, {QStringLiteral("--rate"), QStringLiteral("3000000")});

    startUpdater(recordingOpener());
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    clickAt(window, QStringLiteral("updateButton"));
    expectHandOff(package);
}

// A publisher's stock nginx with the site config from deploy/ and the record signrelease
// wrote: the check, a download split over several connections, the hand-off.
void TestEndToEnd::publishedWithNginxIsSplitAndHandedOff()
{
    if (NginxServer::program().isEmpty())
        QSKIP("nginx is not installed (apt-get install nginx-light)");
    // Held to 8 MiB/s a connection, as download servers hold them: one would take five seconds.
    NginxServer web(QUrl(versionCheckUrl).port(80), "limit_rate 8m;");
    QVERIFY(web.isRunning());
    const QByteArray package = makePackage(40 * 1024 * 1024 + 5);
    const QString served = web.root() + QStringLiteral("/download/QuorilexVideo_32.msi");
    const QString notes = workDir->filePath(QStringLiteral("notes.txt"));
    for (const auto &file : {std::make_pair(served, package), std::make_pair(notes, QByteArray("1. 从 nginx 发布"))}) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(file.second), qint64(file.second.size()));
    }
    QProcess sign;
    sign.setStandardOutputFile(web.root() + QStringLiteral("/version/down_update.json"));
    sign.start(QStringLiteral(SIGNRELEASE_EXECUTABLE),
               {QStringLiteral("record"), QStringLiteral(DEMO_SECRET_KEY), served, QStringLiteral("3.1.0"),
                QStringLiteral("1764547200"), notes, QUrl(versionCheckUrl).resolved(QUrl("/download/QuorilexVideo_32.msi")).toString()});
    QVERIFY(sign.waitForFinished());
    QCOMPARE(sign.exitCode(), 0);

    startUpdater(recordingOpener());
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    clickAt(window, QStringLiteral("updateButton"));
    expectHandOff(package);
    const QList<Transfer> answers = web.transfers(QStringLiteral("/download/QuorilexVideo_32.msi"));
    QVERIFY(std::count_if(answers.begin(), answers.end(), [](const Transfer &t) { return t.status == 206; }) >= 2);
}

// The desktop's opener, first on PATH, writes down what it was given: the PATH to start with.
QString TestEndToEnd::recordingOpener()
{
    const QString bin = workDir->filePath(QStringLiteral("bin"));
    QDir().mkpath(bin);
    QFile opener(bin + QStringLiteral("/xdg-open"));
    if (!opener.open(QIODevice::WriteOnly))
        qFatal("cannot write the opener");
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$HANDOFF_RECORD\"\n");
    opener.close();
    opener.setPermissions(opener.permissions() | QFileDevice::ExeOwner);
    return bin + QLatin1Char(':') + qEnvironmentVariable("PATH");
}

// The updater quits with 0 after handing exactly this package to the desktop, leaving it alone.
void TestEndToEnd::expectHandOff(const QByteArray &package)
{
    QVERIFY(updater->waitForFinished(60000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);

    const QString installer = workDir->filePath(QStringLiteral("run/QuorilexVideo_32.msi"));
    QFile record(workDir->filePath(QStringLiteral("handoff.txt")));
    QTRY_VERIFY_WITH_TIMEOUT(record.exists() && record.size() > 0, 5000);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(QUrl::fromEncoded(record.readAll().trimmed()), QUrl::fromLocalFile(installer));
    QFile downloaded(installer);
    QVERIFY(downloaded.open(QIODevice::ReadOnly));
    QVERIFY(downloaded.readAll() == package);
    QCOMPARE(QDir(workDir->filePath(QStringLiteral("run"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("QuorilexVideo_32.msi")});
}

void TestEndToEnd::refusedHandOffKeepsTheWindow()
{
    const QByteArray package = makePackage(500000);
    serveSigned(package, package, {});
    // No opener anywhere on PATH: the desktop cannot take the package.
    const QString empty = workDir->filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(empty));
    startUpdater(empty);
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    clickAt(window, QStringLiteral("updateButton"));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(workDir->filePath(QStringLiteral("run/QuorilexVideo_32.msi"))), 15000);
    QVERIFY(!updater->waitForFinished(1500));
    QCOMPARE(QFileInfo(workDir->filePath(QStringLiteral("run/QuorilexVideo_32.msi"))).size(), 500000);
    closeAndExpectZero(window);
}

void TestEndToEnd::refusedDownloadKeepsTheWindow_data()
{
    QTest::addColumn<bool>("tampered");
    QTest::newRow("404") << false;
    QTest::newRow("tampered package") << true;
}

void TestEndToEnd::refusedDownloadKeepsTheWindow()
{
    QFETCH(bool, tampered);
    const QByteArray package = makePackage(400000);
    QByteArray served = package;
    if (tampered)
        served[200000] = char(served[200000] ^ 0x5a);
    serveSigned(package, served, {}, tampered ? QStringLiteral("/download/QuorilexVideo_32.msi") : QStringLiteral("/status/404"));
    startUpdater(qEnvironmentVariable("PATH"));
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    clickAt(window, QStringLiteral("updateButton"));

    QVERIFY(!updater->waitForFinished(2000));
    QCOMPARE(QDir(workDir->filePath(QStringLiteral("run"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    closeAndExpectZero(window);
}

// A start removes what a killed updater left; while it runs, a second updater in the same
// folder quits at once, and a partial file that another updater holds stays.
void TestEndToEnd::startRemovesLeftoversAndAllowsOneUpdaterPerFolder()
{
    startServer({});
    const QDir run(workDir->filePath(QStringLiteral("run")));
    QVERIFY(run.mkpath(QStringLiteral(".")));
    const QString stale = run.filePath(QStringLiteral("QuorilexVideo_32.msi.Ab12Cd.part"));
    const QString held = run.filePath(QStringLiteral("QuorilexVideo_32.msi.Ef34Gh.part"));
    QFile staleFile(stale), heldFile(held);
    QVERIFY(staleFile.open(QIODevice::WriteOnly) && heldFile.open(QIODevice::WriteOnly));
    staleFile.close();
    KeptFile::hold(heldFile);

    startUpdater(qEnvironmentVariable("PATH"));
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    QVERIFY(!QFile::exists(stale));
    QVERIFY(QFile::exists(held));

    std::unique_ptr<QProcess> first = std::move(updater);
    startUpdater(qEnvironmentVariable("PATH"));
    QVERIFY(updater->waitForFinished(10000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);

    // The first one goes on as before; after it, a new start has the folder.
    updater = std::move(first);
    closeAndExpectZero(window);
    startUpdater(qEnvironmentVariable("PATH"));
    QVERIFY(!waitForWindow().isEmpty());
}

// A killed updater's bytes stay; the next start and press ask for the rest only.
void TestEndToEnd::killedDownloadResumes()
{
    // Three pieces of 4 MiB: only a checked one is kept.
    const QByteArray package = makePackage(12000000);
    serveSigned(package, package, {QStringLiteral("--rate"), QStringLiteral("2000000")});
    startUpdater(recordingOpener());
    QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    clickAt(window, QStringLiteral("updateButton"));
    const QDir run(workDir->filePath(QStringLiteral("run")));
    const QStringList states{QStringLiteral("*.state")};
    QTRY_VERIFY_WITH_TIMEOUT(!run.entryList(states, QDir::Files).isEmpty(), 10000);
    updater->kill();
    QVERIFY(updater->waitForFinished());
    const std::optional<DownloadState> state = DownloadState::read(run.filePath(run.entryList(states, QDir::Files).value(0)));
    QVERIFY(state);

    startUpdater(recordingOpener());
    window = waitForWindow();
    QVERIFY(!window.isEmpty());
    clickAt(window, QStringLiteral("updateButton"));
    expectHandOff(package);
    const Transfer last = server->transfers(QStringLiteral("/download/QuorilexVideo_32.msi")).last();
    QCOMPARE(last.range, QStringLiteral("bytes=%1-").arg(state->spans.size()));
    QCOMPARE(last.status, 206);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
