// Downloads a package (1 GiB unless a size is given) from the local demo server
// through the updater's own download, once with a bare record and once with a record
// signed with the demo key, whose Size and Sha256 the package must match; then with curl
// from the same server. Prints the throughputs and the updater's peak memory growth:
// all resident pages, and the heap alone.
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

#include <atomic>
#include <chrono>
#include <thread>

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
    // Growth over the start in MiB: all resident pages, and the heap alone (without file mappings).
    QString stop()
    {
        done = true;
        thread.join();
        return QStringLiteral("peak growth %1 MiB resident, %2 MiB heap")
            .arg((peakResident - baseResident) / 1024.0, 0, 'f', 1)
            .arg((peakHeap - baseHeap) / 1024.0, 0, 'f', 1);
    }

private:
    const qint64 baseResident;
    const qint64 baseHeap;
    std::atomic<qint64> peakResident{0};
    std::atomic<qint64> peakHeap{0};
    std::atomic<bool> done{false};
    std::thread thread;
};

QString rate(qint64 bytes, double seconds)
{
    return QStringLiteral("%1 MiB/s (%2 s)").arg(bytes / 1048576.0 / seconds, 0, 'f', 1).arg(seconds, 0, 'f', 2);
}

// One download through the update window; false when it did not end in a hand-off.
bool runUpdater(const QString &label, const QString &endpoint, const QByteArray &publicKey, qint64 size)
{
    TestWindow window(endpoint, publicKey);
    if (window.button()->isHidden()) {
        out << label << ": the server offered nothing\n";
        return false;
    }
    QTimer failed;
    QObject::connect(&failed, &QTimer::timeout, [&] {
        if (window.button()->isEnabled() && window.progress()->isHidden())
            QCoreApplication::exit(1);
    });
    failed.start(100);

    MemorySampler memory;
    QElapsedTimer clock;
    clock.start();
    window.SendDownUpdate();
    const int result = QCoreApplication::exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const QString growth = memory.stop();
    const qint64 received = QFileInfo(QStringLiteral("QuorilexVideo_32.msi")).size();
    QFile::remove(QStringLiteral("QuorilexVideo_32.msi"));
    if (result != 0 || received != size) {
        out << label << ": the download failed: " << window.notes()->text() << '\n';
        return false;
    }
    out << label << rate(size, seconds) << ", " << growth << '\n';
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
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : Q_INT64_C(1) << 30;
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
    if (!run(QStringLiteral(PYTHON_EXECUTABLE), {QStringLiteral(UPDATE_SERVER_SCRIPT), QStringLiteral("--write-package"), package,
                                                 QStringLiteral("--package-size"), QString::number(size)})
        || !publicKey.open(QIODevice::ReadOnly) || !notesFile.open(QIODevice::WriteOnly) || notesFile.write("1. 基准") < 0) {
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

    out << "package:  " << size << " bytes\n";
    const QString endpoint = QStringLiteral("/version/down_update.php");
    if (!runUpdater(QStringLiteral("updater, bare record:             "), bare.url(endpoint), QByteArray(), size)
        || !runUpdater(QStringLiteral("updater, signed record:           "), checked.url(endpoint),
                       QByteArray::fromBase64(publicKey.readAll().trimmed()), size))
        return 1;

    QByteArray curlResult;
    if (run(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), dir.filePath(QStringLiteral("curl.msi")),
                                     QStringLiteral("-w"), QStringLiteral("%{size_download} %{time_total}"),
                                     bare.url(QStringLiteral("/download/QuorilexVideo_32.msi"))},
            &curlResult)) {
        const QList<QByteArray> fields = curlResult.split(' ');
        out << "curl:                              " << rate(fields.value(0).toLongLong(), fields.value(1).toDouble()) << '\n';
    } else {
        out << "curl:                              did not run (is curl installed?)\n";
    }
    return 0;
}

#include "bench_download.moc"
