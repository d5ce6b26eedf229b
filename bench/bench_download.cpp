// Downloads a package (1 GiB unless a size is given) from the local demo server
// through the updater's own download, once with a bare record and once with a record
// signed with the demo key, whose Size and Sha256 the package must match; then with curl
// from the same server; five rounds of the three, interleaved. Prints each run, then for
// each figure the median, the range and the spread over the rounds, and the updater's
// peak memory growth: all resident pages, and the heap alone. Then the same against Debian's
// nginx serving 128 MiB, throttled to 4 MB/s per connection and not, with aria2c -x8 -s8 -k1M
// beside curl, and a proxy that slows one of the updater's connections to a crawl. With
// --mirrors, only three throttled nginx servers used together (see mirrorFigures()); with
// --far, only nginx over a far link (see farFigures()).
#include "nginxserver.h"
#include "testserver.h"
#include "testwindow.h"
#include "trust/PackageVerifier.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QTextStream out(stdout);

// Kibibytes from a line of /proc/self/status, such as VmRSS or RssAnon.
qint64 statusKiB(const QByteArray &key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Samples resident memory every few milliseconds from a thread of its own, so that
// work done in one stretch on the GUI thread is seen too.
class MemorySampler
{
public:
    MemorySampler()
        : baseResident(statusKiB("VmRSS"))
        , baseHeap(statusKiB("RssAnon"))
        , thread([this] {
            while (!done.load()) {
                peakResident = qMax(peakResident.load(), statusKiB("VmRSS"));
                peakHeap = qMax(peakHeap.load(), statusKiB("RssAnon"));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        })
    {
    }
    // Peak growth over the start in MiB: all resident pages, and the heap alone (without file mappings).
    std::pair<double, double> stop()
    {
        done = true;
        thread.join();
        return {(peakResident - baseResident) / 1024.0, (peakHeap - baseHeap) / 1024.0};
    }

private:
    const qint64 baseResident;
    const qint64 baseHeap;
    std::atomic<qint64> peakResident{0};
    std::atomic<qint64> peakHeap{0};
    std::atomic<bool> done{false};
    std::thread thread;
};

constexpr int rounds = 5;

// Every run leaves its file under this name, and the next run removes it first.
const QString previousRun = QStringLiteral("previous-run.msi");

// Each run starts from the same state: the previous run's gigabyte just removed and nothing
// left to write back. Otherwise a run pays for the one before's write-back (measured:
// whichever figure came first in a round ran at a third of the other's speed), and on a
// virtual machine that hands freed memory back to its host, a run that finds no freshly
// freed pages pays for the host's page faults (measured with dd: 4.5-4.9 GB/s right after
// a removal, 1.4-4.0 GB/s six seconds later).
void settle()
{
    QFile::remove(previousRun);
#ifdef Q_OS_UNIX
    ::sync();
#endif
}

double mibPerSecond(qint64 bytes, double seconds)
{
    return bytes / 1048576.0 / seconds;
}

// The runs of one figure across the rounds.
struct Figure
{
    QString label;
    QVector<double> rates;
    double peakResident = 0;
    double peakHeap = 0;

    double median() const
    {
        QVector<double> sorted = rates;
        std::sort(sorted.begin(), sorted.end());
        return sorted.size() % 2 ? sorted[sorted.size() / 2] : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
    }
    double slowest() const { return *std::min_element(rates.begin(), rates.end()); }
    double fastest() const { return *std::max_element(rates.begin(), rates.end()); }
};

// One download through the update window; false when it did not end in a hand-off.
bool runUpdater(Figure &figure, const QString &endpoint, const QByteArray &publicKey, qint64 size)
{
    TestWindow window(endpoint, publicKey);
    if (window.button()->isHidden()) {
        out << figure.label << ": the server offered nothing\n";
        return false;
    }
    QTimer failed;
    QObject::connect(&failed, &QTimer::timeout, [&] {
        if (window.button()->isEnabled() && window.progress()->isHidden())
            QCoreApplication::exit(1);
    });
    failed.start(100);

    settle();
    MemorySampler memory;
    QElapsedTimer clock;
    clock.start();
    window.SendDownUpdate();
    const int result = QCoreApplication::exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const auto growth = memory.stop();
    const qint64 received = QFileInfo(QStringLiteral("QuorilexVideo_32.msi")).size();
    QFile::rename(QStringLiteral("QuorilexVideo_32.msi"), previousRun);
    if (result != 0 || received != size) {
        out << figure.label << ": the download failed: " << window.notes()->text() << '\n';
        return false;
    }
    figure.rates.append(mibPerSecond(size, seconds));
    figure.peakResident = qMax(figure.peakResident, growth.first);
    figure.peakHeap = qMax(figure.peakHeap, growth.second);
    out << figure.label << QString::number(figure.rates.last(), 'f', 1) << " MiB/s, peak growth "
        << QString::number(growth.first, 'f', 1) << " MiB resident, " << QString::number(growth.second, 'f', 1) << " MiB heap\n";
    out.flush();
    return true;
}

bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

QString recordFor(const QString &downloadUri, const QJsonObject &members = {})
{
    QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", "1. 基准"},
                       {"DownloadUri", downloadUri}};
    for (auto member = members.begin(); member != members.end(); ++member)
        record.insert(member.key(), member.value());
    return QString::fromUtf8(QJsonDocument(QJsonObject{{"data", record}}).toJson(QJsonDocument::Compact));
}

bool runTimed(Figure &figure, const QString &program, const QStringList &arguments, qint64 size)
{
    settle();
    QElapsedTimer clock;
    clock.start();
    if (!run(program, arguments) || QFileInfo(previousRun).size() != size) {
        out << figure.label << ": " << program << " failed (is it installed?)\n";
        return false;
    }
    figure.rates.append(mibPerSecond(size, clock.nsecsElapsed() / 1e9));
    out << figure.label << QString::number(figure.rates.last(), 'f', 1) << " MiB/s\n";
    out.flush();
    return true;
}

// The demo server's package of `size` bytes, written to `path`.
bool writePackage(const QString &path, qint64 size)
{
    return run(QStringLiteral(PYTHON_EXECUTABLE), {QStringLiteral(UPDATE_SERVER_SCRIPT), QStringLiteral("--write-package"), path,
                                                   QStringLiteral("--package-size"), QString::number(size)});
}

// Each figure's peak memory growth over its runs.
void growth(const QVector<const Figure *> &figures)
{
    for (const Figure *figure : figures)
        out << figure->label << "peak growth " << QString::number(figure->peakResident, 'f', 1) << " MiB resident, "
            << QString::number(figure->peakHeap, 'f', 1) << " MiB heap\n";
}

void summary(const QVector<Figure *> &figures)
{
    for (const Figure *figure : figures)
        out << figure->label << "median " << QString::number(figure->median(), 'f', 1) << " MiB/s, range "
            << QString::number(figure->slowest(), 'f', 1) << " to " << QString::number(figure->fastest(), 'f', 1) << '\n';
}

// `url` through the slowing proxy, started as `proxy` with `arguments` after the target port;
// empty when it did not start.
QString throughProxy(QProcess &proxy, const QString &url, const QStringList &arguments)
{
    QUrl through(url);
    proxy.start(QStringLiteral(PYTHON_EXECUTABLE), QStringList{QStringLiteral(SLOWPROXY_SCRIPT), QString::number(through.port())} + arguments);
    if (!proxy.waitForReadyRead(10000))
        return QString();
    through.setPort(QString::fromLatin1(proxy.readLine()).section(' ', 2).trimmed().toInt());
    return through.toString();
}

// aria2c with eight connections and ranges of 1 MiB, saving as previousRun in `work`.
QStringList ariaArguments(const QString &work, const QString &url)
{
    return {QStringLiteral("-q"), QStringLiteral("-x8"), QStringLiteral("-s8"), QStringLiteral("-k1M"), QStringLiteral("--allow-overwrite=true"),
            QStringLiteral("--file-allocation=none"), QStringLiteral("-d"), work, QStringLiteral("-o"), previousRun, url};
}

// nginx with the given directives (`limit_rate` per connection, as download servers and CDNs
// hold each one): the updater next to curl (one connection) and aria2c -x8 -s8 -k1M; with
// `proxies`, then the updater with one of its connections slowed to a crawl by a proxy,
// next to the same proxy slowing none.
bool nginxFigures(TestServer &records, const QString &work, const QByteArray &directives, bool proxies)
{
    constexpr qint64 size = Q_INT64_C(128) << 20;
    constexpr int throttledRounds = 3;
    NginxServer web(0, directives);
    if (!web.isRunning()) {
        out << "cannot start nginx (apt-get install nginx-light)\n";
        return false;
    }
    const QString served = web.root() + QStringLiteral("/download/QuorilexVideo_32.msi");
    if (!writePackage(served, size))
        return false;
    const QString url = web.url(QStringLiteral("/download/QuorilexVideo_32.msi"));
    out << "\nnginx, " << (directives.isEmpty() ? QByteArray("unthrottled") : directives) << ' ' << size << " bytes, "
        << throttledRounds << " rounds\n";
    Figure updater{QStringLiteral("updater:                ")};
    Figure curl{QStringLiteral("curl:                   ")};
    Figure aria{QStringLiteral("aria2c -x8 -s8 -k1M:    ")};
    Figure even{QStringLiteral("updater, proxy, even:   ")};
    Figure crawl{QStringLiteral("updater, one crawling:  ")};
    const auto proxied = [&](int slowConnection, Figure &figure) {
        QProcess proxy;
        const QString through = throughProxy(proxy, url, {QString::number(slowConnection), QStringLiteral("16384")});
        const bool ok = !through.isEmpty() && runUpdater(figure, records.echo(recordFor(through).toUtf8()), QByteArray(), size);
        proxy.kill();
        proxy.waitForFinished();
        return ok;
    };
    for (int round = 1; round <= throttledRounds; ++round) {
        out << "round " << round << '\n';
        if (!runUpdater(updater, records.echo(recordFor(url).toUtf8()), QByteArray(), size)
            || !runTimed(curl, QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), previousRun, url}, size)
            || !runTimed(aria, QStringLiteral("aria2c"), ariaArguments(work, url), size)
            || (proxies && (!proxied(0, even) || !proxied(2, crawl))))
            return false;
    }
    out << "\nover " << throttledRounds << " rounds\n";
    summary({&updater, &curl, &aria});
    out << "updater / aria2c: median " << QString::number(updater.median() / aria.median(), 'f', 2) << '\n';
    if (proxies) {
        summary({&even, &crawl});
        out << "time with one crawling / all even: median " << QString::number(even.median() / crawl.median(), 'f', 2) << '\n';
    }
    growth({&updater});
    return true;
}

// A far link: nginx behind the proxy with a 200 ms round trip and a 256 KiB window per
// connection (1.25 MiB/s each), the updater next to aria2c with as many connections.
bool farFigures(TestServer &records, const QString &work)
{
    constexpr qint64 size = Q_INT64_C(64) << 20;
    constexpr int rounds = 3;
    NginxServer web(0, QByteArray());
    const QString served = web.root() + QStringLiteral("/download/QuorilexVideo_32.msi");
    QProcess proxy;
    const QString url = web.isRunning() && writePackage(served, size)
        ? throughProxy(proxy, web.url(QStringLiteral("/download/QuorilexVideo_32.msi")), {QStringLiteral("0"), QStringLiteral("0"),
                                                                                          QStringLiteral("200"), QStringLiteral("262144")})
        : QString();
    if (url.isEmpty()) {
        out << "cannot start nginx (apt-get install nginx-light) or the proxy\n";
        return false;
    }
    out << "\nfar link: 200 ms round trip, 256 KiB window per connection, " << size << " bytes, " << rounds << " rounds\n";
    Figure updater{QStringLiteral("updater:                ")};
    Figure aria{QStringLiteral("aria2c -x8 -s8 -k1M:    ")};
    for (int round = 1; round <= rounds; ++round) {
        out << "round " << round << '\n';
        if (!runUpdater(updater, records.echo(recordFor(url).toUtf8()), QByteArray(), size)
            || !runTimed(aria, QStringLiteral("aria2c"), ariaArguments(work, url), size))
            return false;
    }
    out << "\nover " << rounds << " rounds\n";
    summary({&updater, &aria});
    out << "updater / aria2c: median " << QString::number(updater.median() / aria.median(), 'f', 2) << '\n';
    return true;
}

// A Metalink 4 file naming `urls` for the package at `path`, with its size, hash and pieces,
// for aria2c; the download is saved as previousRun.
QString metalinkFor(const QString &work, const QString &path, const QStringList &urls, qint64 pieceSize)
{
    const qint64 size = QFileInfo(path).size();
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<metalink xmlns=\"urn:ietf:params:xml:ns:metalink\">\n <file name=\"%1\">\n"
                                 "  <size>%2</size>\n  <hash type=\"sha-256\">%3</hash>\n  <pieces length=\"%4\" type=\"sha-256\">\n")
                      .arg(previousRun)
                      .arg(size)
                      .arg(QString::fromLatin1(PackageVerifier::sha256Of(path, 0, size).toHex()))
                      .arg(pieceSize);
    for (qint64 offset = 0; offset < size; offset += pieceSize)
        xml += QStringLiteral("   <hash>%1</hash>\n").arg(QString::fromLatin1(PackageVerifier::sha256Of(path, offset, qMin(pieceSize, size - offset)).toHex()));
    xml += QStringLiteral("  </pieces>\n");
    for (int i = 0; i < urls.size(); ++i)
        xml += QStringLiteral("  <url priority=\"%1\">%2</url>\n").arg(i + 1).arg(urls[i]);
    xml += QStringLiteral(" </file>\n</metalink>\n");
    const QString file = QDir(work).filePath(QStringLiteral("package.meta4"));
    QFile meta(file);
    if (!meta.open(QIODevice::WriteOnly) || meta.write(xml.toUtf8()) < 0)
        return QString();
    return file;
}

// Three nginx servers on 127.0.0.2-4 (aria2c counts connections per host, so ports alone
// would make them one), each allowing two connections per client at 4 MB/s, as a CDN's
// edge may, serving the same 128 MiB package. The updater given the three as its record's
// address and mirrors, with 4 MiB pieces, next to aria2c given a Metalink file of the same
// (-x2 -s8, 4 MiB and 1 MiB smallest splits); the package from one server alone; then a
// faulty set: the first server serves a copy with a wrong byte in every piece under the same
// ETag and Last-Modified, and a dead port is listed before the sound mirrors.
bool mirrorFigures(TestServer &records, const QString &work)
{
    constexpr qint64 size = Q_INT64_C(128) << 20;
    constexpr qint64 pieceSize = 4 << 20;
    constexpr int mirrorRounds = 3;
    const QString path = QStringLiteral("/download/QuorilexVideo_32.msi");
    std::vector<std::unique_ptr<NginxServer>> servers;
    QStringList urls;
    for (const char *host : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        servers.push_back(std::make_unique<NginxServer>(
            0, "limit_conn_zone $binary_remote_addr zone=perip:1m; limit_conn perip 2; limit_rate 4m;", QString::fromLatin1(host)));
        if (!servers.back()->isRunning()) {
            out << "cannot start nginx on " << host << " (apt-get install nginx-light)\n";
            return false;
        }
        urls << servers.back()->url(path);
    }
    const QString first = servers[0]->root() + path;
    if (!writePackage(first, size))
        return false;
    // The same bytes and times everywhere: nginx's ETag and Last-Modified come from them.
    const QDateTime modified = QFileInfo(first).lastModified();
    const auto touch = [&modified](const QString &file) {
        QFile copy(file);
        return copy.open(QIODevice::ReadWrite) && copy.setFileTime(modified, QFileDevice::FileModificationTime);
    };
    for (std::size_t i = 1; i < servers.size(); ++i)
        if (!QFile::copy(first, servers[i]->root() + path) || !touch(servers[i]->root() + path))
            return false;
    QJsonArray pieces;
    for (qint64 offset = 0; offset < size; offset += pieceSize)
        pieces.append(QString::fromLatin1(PackageVerifier::sha256Of(first, offset, pieceSize).toHex()));
    const QJsonObject checks{{"Size", double(size)},
                             {"Sha256", QString::fromLatin1(PackageVerifier::sha256Of(first, 0, size).toHex())},
                             {"PieceSize", double(pieceSize)},
                             {"PieceSha256", pieces}};
    const auto withMirrors = [&checks](const QStringList &mirrors) {
        QJsonObject members = checks;
        members.insert(QStringLiteral("Mirrors"), QJsonArray::fromStringList(mirrors));
        return members;
    };
    const auto aria = [&](Figure &figure, const QStringList &sources, const QString &split) {
        const QString meta = metalinkFor(work, first, sources, pieceSize);
        return !meta.isEmpty()
            && runTimed(figure, QStringLiteral("aria2c"),
                        {QStringLiteral("-q"), QStringLiteral("-x2"), QStringLiteral("-s8"), QStringLiteral("-k") + split,
                         QStringLiteral("--allow-overwrite=true"), QStringLiteral("--file-allocation=none"), QStringLiteral("-d"),
                         work, QStringLiteral("-M"), meta},
                        size);
    };

    out << "\nthree nginx on 127.0.0.2-4, each 2 connections per client at 4 MB/s; " << size << " bytes, 4 MiB pieces, "
        << mirrorRounds << " rounds\n";
    Figure together{QStringLiteral("updater, three sources: ")};
    Figure aria4{QStringLiteral("aria2c -M -x2 -s8 -k4M:  ")};
    Figure aria1{QStringLiteral("aria2c -M -x2 -s8 -k1M:  ")};
    Figure alone{QStringLiteral("updater, one server:    ")};
    Figure ariaAlone{QStringLiteral("aria2c, one server -k1M: ")};
    for (int round = 1; round <= mirrorRounds; ++round) {
        out << "round " << round << '\n';
        if (!runUpdater(together, records.echo(recordFor(urls[0], withMirrors(urls.mid(1))).toUtf8()), QByteArray(), size)
            || !aria(aria4, urls, QStringLiteral("4M")) || !aria(aria1, urls, QStringLiteral("1M"))
            || !runUpdater(alone, records.echo(recordFor(urls[0], checks).toUtf8()), QByteArray(), size)
            || !aria(ariaAlone, urls.mid(0, 1), QStringLiteral("1M")))
            return false;
    }
    out << "\nover " << mirrorRounds << " rounds\n";
    summary({&together, &aria4, &aria1, &alone, &ariaAlone});
    out << "three sources / aria2c -k4M: median " << QString::number(together.median() / aria4.median(), 'f', 2)
        << ", / aria2c -k1M: " << QString::number(together.median() / aria1.median(), 'f', 2) << '\n';
    growth({&together, &alone});

    // A corrupted copy on the first server: one wrong byte in every piece, under the same
    // validators; a dead port among the mirrors.
    {
        QFile spoilt(first);
        if (!spoilt.open(QIODevice::ReadWrite))
            return false;
        for (qint64 offset = 123; offset < size; offset += pieceSize) {
            char byte = 0;
            if (!spoilt.seek(offset) || !spoilt.getChar(&byte) || !spoilt.seek(offset) || !spoilt.putChar(char(~byte)))
                return false;
        }
    }
    if (!touch(first))
        return false;
    const QString dead = QStringLiteral("http://127.0.0.5:%1%2").arg(TestServer::closedPort()).arg(path);
    out << "\nfaulty set: " << urls[0] << " serves a wrong byte in every piece under the same ETag, " << dead << " is dead\n";
    Figure faulty{QStringLiteral("updater, faulty set:    ")};
    Figure ariaFaulty{QStringLiteral("aria2c -M -k1M, faulty: ")};
    for (int round = 1; round <= mirrorRounds; ++round) {
        out << "round " << round << '\n';
        if (!runUpdater(faulty, records.echo(recordFor(urls[0], withMirrors({dead, urls[1], urls[2]})).toUtf8()), QByteArray(), size))
            return false;
        // aria2c's failure is a figure too.
        if (!aria(ariaFaulty, {urls[0], dead, urls[1], urls[2]}, QStringLiteral("1M")))
            out << "aria2c did not end with the package\n";
    }
    summary({&faulty});
    if (!ariaFaulty.rates.isEmpty())
        summary({&ariaFaulty});
    growth({&faulty});
    return true;
}

} // namespace

class HandOff : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &) {}
};

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Arguments: the demo package's size in bytes, and --nginx-only to measure the nginx
    // figures in a fresh process (their first run's memory growth is then a first download's).
    QStringList arguments = app.arguments().mid(1);
    const bool nginxOnly = arguments.removeAll(QStringLiteral("--nginx-only")) > 0;
    const bool mirrorsOnly = arguments.removeAll(QStringLiteral("--mirrors")) > 0;
    const bool farOnly = arguments.removeAll(QStringLiteral("--far")) > 0;
    const bool fastOnly = arguments.removeAll(QStringLiteral("--fast")) > 0;
    const qint64 size = arguments.isEmpty() ? Q_INT64_C(1) << 30 : arguments.first().toLongLong();
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path())) {
        out << "cannot make a work folder\n";
        return 1;
    }
    HandOff handOff;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &handOff, "open");

    // One package on disk, served under a bare record and under a record signed with the
    // demo key, which names the signed server's own address.
    const QString package = dir.filePath(QStringLiteral("served.msi"));
    const QString notes = dir.filePath(QStringLiteral("notes.txt"));
    const QString body = dir.filePath(QStringLiteral("record.json"));
    QFile publicKey(QStringLiteral(DEMO_PUBLIC_KEY));
    QFile notesFile(notes);
    if (!writePackage(package, size) || !publicKey.open(QIODevice::ReadOnly) || !notesFile.open(QIODevice::WriteOnly) || notesFile.write("1. 基准") < 0) {
        out << "cannot write the demo package or read the demo key\n";
        return 1;
    }
    notesFile.close();
    TestServer bare({QStringLiteral("--package"), package});
    TestServer checked({QStringLiteral("--package"), package, QStringLiteral("--body"), body});
    QByteArray signedRecord;
    QFile bodyFile(body);
    if (!bare.isRunning() || !checked.isRunning()
        || !run(QStringLiteral(SIGNRELEASE_EXECUTABLE),
                {QStringLiteral("record"), QStringLiteral(DEMO_SECRET_KEY), package, QStringLiteral("3.1.0"),
                 QStringLiteral("1764547200"), notes, checked.url(QStringLiteral("/download/QuorilexVideo_32.msi"))},
                &signedRecord)
        || !bodyFile.open(QIODevice::WriteOnly) || bodyFile.write(signedRecord) != signedRecord.size()) {
        out << "cannot start the servers or sign the record\n";
        return 1;
    }
    bodyFile.close();
    if (mirrorsOnly)
        return mirrorFigures(bare, dir.path()) ? 0 : 1;
    if (farOnly)
        return farFigures(bare, dir.path()) ? 0 : 1;
    if (nginxOnly)
        return nginxFigures(bare, dir.path(), "limit_rate 4m;", true) && nginxFigures(bare, dir.path(), QByteArray(), false) ? 0 : 1;

    const auto runCurl = [&](QByteArray *result) {
        settle();
        return run(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), dir.filePath(previousRun),
                                            QStringLiteral("-w"), QStringLiteral("%{size_download} %{time_total}"),
                                            bare.url(QStringLiteral("/download/QuorilexVideo_32.msi"))},
                   result);
    };
    out << "package:  " << size << " bytes, " << rounds << " rounds\n";
    const QString endpoint = QStringLiteral("/version/down_update.php");
    const QByteArray demoKey = QByteArray::fromBase64(publicKey.readAll().trimmed());
    Figure bareFigure{QStringLiteral("updater, bare record:   ")};
    Figure signedFigure{QStringLiteral("updater, signed record: ")};
    Figure curlFigure{QStringLiteral("curl:                   ")};
    // Round 0 warms up and is not counted: the first run after the setup (writing, signing
    // and syncing the gigabyte) was an invocation's slowest in four of eight here (388-1125
    // MiB/s against 1500-2000 after), which a fresh updater on a warm machine does not show.
    // Memory growth counts it: a fresh process's first download is where the heap grows.
    for (int round = 0; round <= rounds; ++round) {
        out << "round " << round << (round == 0 ? " (warm-up, not counted)\n" : "\n");
        if (!runUpdater(bareFigure, bare.url(endpoint), QByteArray(), size)
            || !runUpdater(signedFigure, checked.url(endpoint), demoKey, size))
            return 1;
        QByteArray curlResult;
        if (!runCurl(&curlResult)) {
            out << "curl did not run (is curl installed?)\n";
            return 1;
        }
        const QList<QByteArray> fields = curlResult.split(' ');
        curlFigure.rates.append(mibPerSecond(fields.value(0).toLongLong(), fields.value(1).toDouble()));
        out << curlFigure.label << QString::number(curlFigure.rates.last(), 'f', 1) << " MiB/s\n";
    }

    for (Figure *figure : {&bareFigure, &signedFigure, &curlFigure})
        figure->rates.removeFirst();
    out << "\nover " << rounds << " rounds: median, range, spread ((fastest - slowest) / median)\n";
    for (const Figure *figure : {&bareFigure, &signedFigure, &curlFigure})
        out << figure->label << QString::number(figure->median(), 'f', 1) << " MiB/s, "
            << QString::number(figure->slowest(), 'f', 1) << " to " << QString::number(figure->fastest(), 'f', 1) << ", "
            << QString::number(100 * (figure->fastest() - figure->slowest()) / figure->median(), 'f', 0) << " %\n";
    growth({&bareFigure, &signedFigure});
    out << "bare / curl: median " << QString::number(bareFigure.median() / curlFigure.median(), 'f', 2) << ", slowest "
        << QString::number(bareFigure.slowest() / curlFigure.median(), 'f', 2) << "; signed / bare: median "
        << QString::number(signedFigure.median() / bareFigure.median(), 'f', 2) << '\n';
    if (fastOnly)
        return 0;
    return nginxFigures(bare, dir.path(), "limit_rate 4m;", true) && nginxFigures(bare, dir.path(), QByteArray(), false) ? 0 : 1;
}

#include "bench_download.moc"
