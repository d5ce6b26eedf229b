#include "downloadrun.h"
#include "nginxserver.h"
#include "testserver.h"
#include "testwindow.h"

#include "comm/Comm.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

// A download through the window split over several connections, against the demo server
// and against nginx: what is asked for, what lands on disk, and what one bad connection does.
class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void split_data();
    void split();
    void resumeAfterSplit();
    void serverLost();

private:
    QStringList leftovers() const;

    std::unique_ptr<TestServer> server;
    // Where the first server sends ranged requests in the rows that ask it to.
    std::unique_ptr<TestServer> rangeServer;
    std::unique_ptr<QTemporaryDir> workDir;
    DesktopRecorder desktop;
    QString startDir;
};

static const QString installerName = QStringLiteral("QuorilexVideo_32.msi");

void TestTransfer::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->isRunning());
    rangeServer = std::make_unique<TestServer>();
    QVERIFY(rangeServer->isRunning());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "open");
    startDir = QDir::currentPath();
}

void TestTransfer::init()
{
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    desktop.opened.clear();
}

void TestTransfer::cleanup()
{
    QDir::setCurrent(startDir);
    workDir.reset();
}

QStringList TestTransfer::leftovers() const
{
    return QDir(workDir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// The SHA-256 of what `url` sends, read as it comes.
static const int pieceSize = 4 * 1024 * 1024;

// The SHA-256 of the package at `url`, and that of each of its 4 MiB pieces.
static QByteArray sha256Of(const QString &url, QJsonArray *pieces = nullptr)
{
    QNetworkAccessManager manager;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray piece;
    const auto add = [&](const QByteArray &bytes) {
        hash.addData(bytes);
        piece += bytes;
        for (; pieces && piece.size() >= pieceSize; piece.remove(0, pieceSize))
            pieces->append(QString::fromLatin1(QCryptographicHash::hash(piece.left(pieceSize), QCryptographicHash::Sha256).toHex()));
    };
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(url))));
    QObject::connect(reply.get(), &QIODevice::readyRead, [&] { add(reply->readAll()); });
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(60000))
        return QByteArray();
    add(reply->readAll());
    if (pieces && !piece.isEmpty())
        pieces->append(QString::fromLatin1(QCryptographicHash::hash(piece, QCryptographicHash::Sha256).toHex()));
    return reply->error() == QNetworkReply::NoError ? hash.result().toHex() : QByteArray();
}

// Connections open from this process to 127.0.0.1:port (-1 where that cannot be seen).
static int openConnections(quint16 port)
{
#ifdef Q_OS_LINUX
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray remote = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int count = 0;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // Established, to the port: the server's own ends have it as their local address.
        if (fields.size() > 3 && fields[2] == remote && fields[3] == "01")
            ++count;
    }
    return count;
#else
    Q_UNUSED(port)
    return -1;
#endif
}

// The spans a log's ranged answers asked for, "bytes=A-B" or "bytes=A-" (to `size`), in order.
static QList<QPair<qint64, qint64>> askedSpans(const QList<Transfer> &transfers, qint64 size)
{
    static const QRegularExpression asked(QStringLiteral("^bytes=(\\d+)-(\\d*)$"));
    QList<QPair<qint64, qint64>> spans;
    for (const Transfer &transfer : transfers) {
        const QRegularExpressionMatch match = asked.match(transfer.range);
        if (match.hasMatch())
            spans.append({match.captured(1).toLongLong(), match.captured(2).isEmpty() ? size : match.captured(2).toLongLong() + 1});
    }
    std::sort(spans.begin(), spans.end());
    return spans;
}

// The SHA-256 of the package the download saved in the working folder.
static QByteArray savedPackageSha256()
{
    QFile package(installerName);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return package.open(QIODevice::ReadOnly) && hash.addData(&package) ? hash.result().toHex() : QByteArray();
}

void TestTransfer::split_data()
{
    // Debian's nginx serving a package of that size from a file, with the publisher's site
    // config, instead of the demo server.
    QTest::addColumn<bool>("nginx");
    QTest::addColumn<QString>("query");
    QTest::addColumn<qint64>("size");
    // Whether the ranges asked for may overlap: only where a connection broke.
    QTest::addColumn<bool>("faults");
    // The failure's cause, -1 for none.
    QTest::addColumn<int>("cause");
    // Whether the record lists the pieces' hashes and a sound mirror on another server, under
    // another ETag: both serve together.
    QTest::addColumn<bool>("pieces");
    // What the mirror does wrong, as the demo server's query.
    QTest::addColumn<QString>("mirrorFault");

    // Each connection held to 8 MiB/s, as download servers hold them: one alone would take
    // seconds, which is when the download splits.
    const qint64 MiB = 1024 * 1024;
    // Whether a download splits at all is tst_scheduler's and tst_answer's to show.
    QTest::newRow("nginx") << true << "" << 40 * MiB << false << -1 << false << "";
    QTest::newRow("split") << false << "" << 40 * MiB << false << -1 << false << "";
    // Split at its first answer; the connections waiting for the first range connect ahead.
    QTest::newRow("far server") << false << "delay=150" << 40 * MiB << false << -1 << false << "";
    QTest::newRow("uneven length") << false << "" << 45 * MiB + 12345 << false << -1 << false << "";
    // The rest on the connection that got the whole package.
    QTest::newRow("ranges answered with 200") << false << "ranges=ignore" << 40 * MiB << true << -1 << false << "";
    QTest::newRow("package changes") << false << "etag=changing" << 40 * MiB << true << -1 << false << "";
    QTest::newRow("one reset, one stalled") << false << "resetat=20000000&stallat=37000000" << 40 * MiB << true << -1 << false << "";
    QTest::newRow("one slowed to a crawl") << false << "slowat=30000000&slowrate=20000" << 40 * MiB << true << -1 << false << "";
    QTest::newRow("wrong Content-Range") << false << "badrange=1" << 40 * MiB << true << int(Failure::RangeMismatch) << false << "";
    // A server that turns split downloads away: the first connection brings it all.
    QTest::newRow("ranges refused with 503") << false << "rangestatus=503" << 24 * MiB << true << -1 << false << "";
    QTest::newRow("ranges refused with 403") << false << "rangestatus=403" << 24 * MiB << true << -1 << false << "";
    // Every connection's sockets count, those a redirect leaves behind too.
    QTest::newRow("ranges redirected to another port")
        << false << QStringLiteral("rangesto=%1").arg(QUrl(rangeServer->url("/")).port()) << 40 * MiB << false << -1 << false << "";
    // Another package's bytes under the same ETag: only the hash can tell.
    QTest::newRow("spliced") << false << "splice=1" << 40 * MiB << true << int(Failure::HashMismatch) << false << "";
    QTest::newRow("pieces and a mirror") << false << "" << 40 * MiB << false << -1 << true << "";
    // With pieces the wrong one is caught, and fetched again from the mirror.
    QTest::newRow("spliced, pieces and a sound mirror") << false << "splice=1" << 40 * MiB << true << -1 << true << "";
    // The mirror's fault costs the mirror: the record's own server brings the rest.
    QTest::newRow("pieces and a mirror whose ranges run on") << false << "" << 40 * MiB << true << -1 << true << "overlong=1";
}

void TestTransfer::split()
{
    QFETCH(bool, nginx);
    QFETCH(QString, query);
    QFETCH(qint64, size);
    QFETCH(bool, faults);
    QFETCH(int, cause);
    QFETCH(bool, pieces);
    QFETCH(QString, mirrorFault);

    static int row = 0;
    QString path = QStringLiteral("/package?size=%1&rate=8388608&%2&row=%3").arg(QString::number(size), query, QString::number(++row));
    QJsonArray pieceSha256;
    const QByteArray sha256 = sha256Of(server->url(QStringLiteral("/package?size=%1").arg(size)), &pieceSha256);
    QCOMPARE(sha256.size(), 64);
    QJsonObject members{{"Sha256", QString::fromLatin1(sha256)}};
    const QString mirrorPath = QStringLiteral("/package?size=%1&rate=8388608&etagvalue=%22mirror%22&row=%2&%3").arg(size).arg(row).arg(mirrorFault);
    if (pieces) {
        members.insert(QStringLiteral("PieceSize"), pieceSize);
        members.insert(QStringLiteral("PieceSha256"), pieceSha256);
        members.insert(QStringLiteral("Size"), double(size));
        members.insert(QStringLiteral("Mirrors"), QJsonArray{rangeServer->url(mirrorPath)});
    }
    std::unique_ptr<NginxServer> web;
    if (nginx) {
        if (NginxServer::program().isEmpty())
            QSKIP("nginx is not installed (apt-get install nginx-light)");
        web = std::make_unique<NginxServer>(0, "limit_rate 8m;");
        QVERIFY(web->isRunning());
        path = QStringLiteral("/download/QuorilexVideo_32.msi");
        QProcess writer;
        writer.start(QStringLiteral(PYTHON_EXECUTABLE), {QStringLiteral(UPDATE_SERVER_SCRIPT), QStringLiteral("--write-package"),
                                                         web->root() + path, QStringLiteral("--package-size"), QString::number(size)});
        QVERIFY(writer.waitForFinished(60000) && writer.exitCode() == 0);
    }
    const auto log = [&] { return web ? web->transfers(path) : server->transfers(path) + rangeServer->transfers(path); };
    TestWindow window(offerFor(*server, web ? web->url(path) : server->url(path), members));
    const quint16 port = QUrl(web ? web->url(path) : server->url("/")).port();
    int peak = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout,
            [&] { peak = qMax(peak, openConnections(port) + openConnections(QUrl(rangeServer->url("/")).port())); });
    sampler.start(5);
    QCOMPARE(pressAndWait(window), cause < 0 ? 0 : 1);
    sampler.stop();
    QVERIFY2(peak <= 8, qPrintable(QString::number(peak)));

    // nginx logs an answer once it ends, the first one (cut off) perhaps last.
    const auto wholeAnswers = [&] {
        const QList<Transfer> transfers = log();
        return std::count_if(transfers.begin(), transfers.end(), [](const Transfer &t) { return t.range == QStringLiteral("-"); });
    };
    QTRY_COMPARE(wholeAnswers(), 1);
    const QList<Transfer> transfers = log();
    // Every answer but the first asked for a range.
    for (const Transfer &transfer : transfers)
        QVERIFY2(transfer.range == QStringLiteral("-") || transfer.range.startsWith(QStringLiteral("bytes=")),
                 qPrintable(transfer.range));
    const QList<QPair<qint64, qint64>> spans = askedSpans(transfers, size);
    QVERIFY(!spans.isEmpty());
    // A range is at least 4 MiB, or the far half of a rest near the end, which ends where
    // another range begins or at the package's end. No byte is asked for twice, but those of a
    // range under way whose far half another took over (up to a piece's edge).
    for (int i = 0; !faults && i < spans.size(); ++i) {
        QVERIFY(spans[i].second - spans[i].first >= qMin<qint64>(4 * 1024 * 1024, size - spans[i].first)
                || std::any_of(spans.begin(), spans.end(), [&](const QPair<qint64, qint64> &span) { return span.first == spans[i].second; }));
        if (i > 0)
            QVERIFY2(spans[i - 1].second <= spans[i].first
                         || spans[i].first >= (spans[i - 1].first + spans[i - 1].second) / 2 - pieceSize,
                     qPrintable(QStringLiteral("%1-%2 and %3-%4")
                         .arg(spans[i - 1].first).arg(spans[i - 1].second).arg(spans[i].first).arg(spans[i].second)));
    }
    if (cause >= 0) {
        QCOMPARE(window.failure()->cause, Failure::Cause(cause));
        QVERIFY(desktop.opened.isEmpty());
        QCOMPARE(leftovers(), QStringList());
        return;
    }
    QCOMPARE(desktop.opened.size(), 1);
    QCOMPARE(savedPackageSha256(), sha256);
    if (pieces) {
        // The mirror brought ranges; with a sound first server, beside it.
        const QList<Transfer> mirrored = rangeServer->transfers(mirrorPath);
        QVERIFY(!mirrored.isEmpty());
        for (const Transfer &transfer : mirrored)
            QVERIFY2(transfer.range.startsWith(QStringLiteral("bytes=")), qPrintable(transfer.range));
        QVERIFY(faults || askedSpans(server->transfers(path), size).size() >= 2);
    }
}

// A split download that stops as a whole (no connection brings a byte for the stall time)
// keeps its bytes; the next press asks for the missing spans alone, over several connections.
void TestTransfer::resumeAfterSplit()
{
    const qint64 size = 40 * 1024 * 1024;
    const QString path = QStringLiteral("/package?size=%1&rate=8388608&freezeat=25000000").arg(size);
    const QByteArray sha256 = sha256Of(server->url(QStringLiteral("/package?size=%1").arg(size)));
    TestWindow window(offerFor(*server, server->url(path), {{"Sha256", QString::fromLatin1(sha256)}}));
    window.limitStall(1000);
    QCOMPARE(pressAndWait(window), 1);
    QCOMPARE(window.failure()->cause, Failure::TimedOut);
    const int firstAttempt = server->transfers(path).size();
    QVERIFY(askedSpans(server->transfers(path), size).size() >= 1);

    Comm().httpGet(server->url(QStringLiteral("/thaw?path=") + QString::fromLatin1(QUrl::toPercentEncoding(path))));
    QTest::mouseClick(window.button(), Qt::LeftButton);
    const qint64 kept = window.progress()->value();
    QVERIFY(kept > 0);
    QCOMPARE(runUntilSettled(window), 0);
    const QList<Transfer> second = server->transfers(path).mid(firstAttempt);
    const QList<QPair<qint64, qint64>> spans = askedSpans(second, size);
    QCOMPARE(spans.size(), second.size());
    QVERIFY(spans.size() >= 2);
    qint64 asked = 0;
    for (int i = 0; i < spans.size(); ++i) {
        asked += spans[i].second - spans[i].first;
        if (i > 0)
            QVERIFY(spans[i - 1].second <= spans[i].first);
    }
    QCOMPARE(asked, size - kept);
    QCOMPARE(savedPackageSha256(), sha256);
}

// A split download whose server goes away after bytes came says that it is incomplete,
// whatever its last connection met.
void TestTransfer::serverLost()
{
    const qint64 size = 40 * 1024 * 1024;
    auto lost = std::make_unique<TestServer>();
    const QString path = QStringLiteral("/package?size=%1&rate=8388608").arg(size);
    TestWindow window(offerFor(*server, lost->url(path)));
    window.show();
    QTest::mouseClick(window.button(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.progress()->value() > window.progress()->maximum() / 4, 60000);
    lost.reset();
    QCOMPARE(runUntilSettled(window), 1);
    QCOMPARE(window.failure()->cause, Failure::Incomplete);
}

QTEST_MAIN(TestTransfer)
#include "tst_transfer.moc"
