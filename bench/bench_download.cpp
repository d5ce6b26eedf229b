// Downloads a package (1 GiB unless a size is given) from the local demo server
// through the updater's own download, then with curl from the same server, and
// prints both throughputs and the updater's peak memory growth during its download.
#include "testserver.h"
#include "testwindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

// Kibibytes from a line of /proc/self/status, such as VmRSS or VmHWM.
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

// Starts the peak (VmHWM) afresh at the current resident size.
bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

double mibPerSecond(qint64 bytes, double seconds)
{
    return bytes / 1048576.0 / seconds;
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
    QTextStream out(stdout);
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : Q_INT64_C(1) << 30;

    TestServer server({QStringLiteral("--package-size"), QString::number(size)});
    QTemporaryDir dir;
    if (!server.isRunning() || !dir.isValid() || !QDir::setCurrent(dir.path())) {
        out << "cannot start the server or make a work folder\n";
        return 1;
    }
    HandOff handOff;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &handOff, "open");

    TestWindow window(server.url(QStringLiteral("/version/down_update.php")));
    if (window.button()->isHidden()) {
        out << "the demo server offered nothing\n";
        return 1;
    }
    QTimer failed;
    QObject::connect(&failed, &QTimer::timeout, [&] {
        if (window.button()->isEnabled() && window.progress()->isHidden())
            QCoreApplication::exit(1);
    });
    failed.start(100);

    const bool peakReset = resetPeak();
    const qint64 residentBefore = statusKiB("VmRSS");
    QElapsedTimer clock;
    clock.start();
    window.SendDownUpdate();
    const int result = QCoreApplication::exec();
    const double updaterSeconds = clock.nsecsElapsed() / 1e9;
    const qint64 peak = statusKiB("VmHWM");
    const qint64 received = QFileInfo(QStringLiteral("QuorilexVideo_32.msi")).size();
    QFile::remove(QStringLiteral("QuorilexVideo_32.msi"));
    if (result != 0 || received != size) {
        out << "the updater's download failed: " << window.notes()->text() << '\n';
        return 1;
    }

    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), dir.filePath(QStringLiteral("curl.msi")),
                                        QStringLiteral("-w"), QStringLiteral("%{size_download} %{time_total}"),
                                        server.url(QStringLiteral("/download/QuorilexVideo_32.msi"))});
    const bool curlRan = curl.waitForFinished(-1) && curl.exitCode() == 0;
    const QList<QByteArray> curlResult = curl.readAllStandardOutput().split(' ');
    QFile::remove(dir.filePath(QStringLiteral("curl.msi")));

    out << "package:  " << size << " bytes\n";
    out << "updater:  " << QString::number(mibPerSecond(size, updaterSeconds), 'f', 1) << " MiB/s ("
        << QString::number(updaterSeconds, 'f', 2) << " s)\n";
    if (curlRan && curlResult.size() == 2)
        out << "curl:     " << QString::number(mibPerSecond(curlResult[0].toLongLong(), curlResult[1].toDouble()), 'f', 1)
            << " MiB/s (" << QString::number(curlResult[1].toDouble(), 'f', 2) << " s)\n";
    else
        out << "curl:     did not run (is curl installed?)\n";
    if (peakReset)
        out << "updater peak memory growth: " << QString::number((peak - residentBefore) / 1024.0, 'f', 1) << " MiB\n";
    else
        out << "updater peak memory growth: unknown (no /proc/self/clear_refs)\n";
    return 0;
}

#include "bench_download.moc"
