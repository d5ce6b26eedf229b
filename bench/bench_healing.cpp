// How a download heals. First a 64 MiB package from a demo server that resets every answer
// after 8 MiB: the updater's time and the bytes the server sent twice, next to aria2c with
// its default retries on the same server. Then a 1 GiB download stopped at 90 % by closing
// the window: the time a new window takes to finish it, with the record's Sha256 (the kept
// bytes are read back for the hash) and without one. Run with bench/run.sh --healing.
#include "testserver.h"
#include "testwindow.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

QTextStream out(stdout);

class HandOff : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &) {}
};

QString recordFor(const TestServer &server, const QString &downloadUri, const QJsonObject &members = {})
{
    QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000}, {"UpdateContent", "1. 基准"},
                       {"DownloadUri", downloadUri}};
    for (auto it = members.begin(); it != members.end(); ++it)
        record.insert(it.key(), it.value());
    return server.echo(QJsonDocument(QJsonObject{{"data", record}}).toJson(QJsonDocument::Compact));
}

qint64 sentFor(const TestServer &server, const QString &path)
{
    qint64 sent = 0;
    for (const Transfer &transfer : server.transfers(path))
        sent += transfer.sent;
    return sent;
}

// Presses and runs until the window settles; seconds, or -1 when it did not hand off.
double pressAndTime(TestWindow &window, const std::function<bool()> &stopEarly = {}, qint64 *keptAtPress = nullptr)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (window.button()->isEnabled() && window.progress()->isHidden())
            QCoreApplication::exit(1);
        if (stopEarly && stopEarly())
            QCoreApplication::exit(2);
    });
    poll.start(5);
    QElapsedTimer clock;
    clock.start();
    window.SendDownUpdate();
    if (keptAtPress)
        *keptAtPress = window.download()->received();
    const int result = QCoreApplication::exec();
    return result == 1 ? -1 : clock.nsecsElapsed() / 1e9;
}

void resets(const QString &work)
{
    const qint64 size = 64 << 20;
    TestServer server;
    const QString path = QStringLiteral("/package?size=%1&resetevery=%2").arg(size).arg(8 << 20);
    {
        TestWindow window(recordFor(server, server.url(path)));
        window.retryAfter(RetryPolicy::defaultFirstWaitMs, RetryPolicy::defaultTries);
        const double seconds = pressAndTime(window);
        out << "updater, resets every 8 MiB: " << QString::number(seconds, 'f', 1) << " s, "
            << server.transfers(path).size() << " answers, " << sentFor(server, path) - size << " bytes sent twice\n";
        QFile::remove(QStringLiteral("QuorilexVideo_32.msi"));
    }
    const QString aria2Path = path + QStringLiteral("&client=aria2c");
    QProcess aria2;
    QElapsedTimer clock;
    clock.start();
    aria2.start(QStringLiteral("aria2c"), {QStringLiteral("-q"), QStringLiteral("-d"), work, QStringLiteral("-o"),
                                           QStringLiteral("aria2.msi"), server.url(aria2Path)});
    aria2.waitForFinished(-1);
    out << "aria2c, resets every 8 MiB: " << QString::number(clock.nsecsElapsed() / 1e9, 'f', 1) << " s, exit "
        << aria2.exitCode() << ", " << QFileInfo(work + QStringLiteral("/aria2.msi")).size() << " bytes, "
        << server.transfers(aria2Path).size() << " answers, " << sentFor(server, aria2Path) - size << " bytes sent twice\n";
}

void resumeAtNinetyPercent(const QString &work, bool withHash)
{
    const qint64 size = Q_INT64_C(1) << 30;
    const QString package = work + QStringLiteral("/served.msi");
    if (!QFile::exists(package)) {
        QProcess writer;
        writer.start(QStringLiteral(PYTHON_EXECUTABLE), {QStringLiteral(UPDATE_SERVER_SCRIPT), QStringLiteral("--write-package"),
                                                         package, QStringLiteral("--package-size"), QString::number(size)});
        writer.waitForFinished(-1);
    }
    QJsonObject members{{"Size", double(size)}};
    if (withHash) {
        QFile file(package);
        file.open(QIODevice::ReadOnly);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        members.insert(QStringLiteral("Sha256"), QString::fromLatin1(hash.result().toHex()));
    }
    TestServer server({QStringLiteral("--package"), package});
    const QString endpoint = recordFor(server, server.url(QStringLiteral("/download/QuorilexVideo_32.msi")), members);
    {
        TestWindow first(endpoint);
        pressAndTime(first, [&first] { return first.download()->received() >= first.download()->total() / 10 * 9; });
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    TestWindow second(endpoint);
    qint64 kept = 0;
    const double seconds = pressAndTime(second, {}, &kept);
    out << "1 GiB resumed from " << QString::number(100.0 * kept / size, 'f', 1) << " %"
        << (withHash ? ", with Sha256: " : ", without Sha256: ") << QString::number(seconds, 'f', 2) << " s to the hand-off\n";
    QFile::remove(QStringLiteral("QuorilexVideo_32.msi"));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    HandOff handOff;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &handOff, "open");
    resets(dir.path());
    for (bool withHash : {true, false, true, false})
        resumeAtNinetyPercent(dir.path(), withHash);
    return 0;
}

#include "bench_healing.moc"
