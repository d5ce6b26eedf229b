#include "nginxserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

QString NginxServer::program()
{
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
}

NginxServer::NginxServer(quint16 wantedPort, const QByteArray &extra, const QString &host)
    : port(wantedPort)
    , host(host)
{
    if (!dir.isValid() || program().isEmpty())
        return;
    if (port == 0) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress(host)))
            return;
        port = probe.serverPort();
    }
    // nginx's workers run as nobody when the tests run as root: the folder must be readable.
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QDir base(dir.path());
    for (const QString &folder : {"www/version", "www/download", "temp"})
        base.mkpath(folder);
    QString site = QString::fromUtf8(readFile(QStringLiteral(DEPLOY_DIR "/nginx/quorilex-updates.conf")));
    site.replace(QRegularExpression(QStringLiteral("listen [^;]*;")), QStringLiteral("listen %1:%2;").arg(host).arg(port));
    site.replace(QRegularExpression(QStringLiteral("root [^;]*;")), QStringLiteral("root %1;").arg(root()));
    QByteArray config = readFile(QStringLiteral(TEST_DATA "/nginx.conf"));
    config.replace("@DIR@", dir.path().toUtf8()).replace("@EXTRA@", extra);
    if (site.isEmpty() || config.isEmpty() || !writeFile(base.filePath(QStringLiteral("site.conf")), site.toUtf8())
        || !writeFile(base.filePath(QStringLiteral("nginx.conf")), config))
        return;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program(), {QStringLiteral("-p"), dir.path(), QStringLiteral("-c"), base.filePath(QStringLiteral("nginx.conf")),
                              QStringLiteral("-g"), QStringLiteral("daemon off;")});
    if (!process.waitForStarted())
        return;
    // Up once it accepts a connection.
    QElapsedTimer clock;
    clock.start();
    while (process.state() == QProcess::Running && clock.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress(host), port);
        if (probe.waitForConnected(1000)) {
            running = true;
            return;
        }
        QThread::msleep(50);
    }
}

NginxServer::~NginxServer()
{
    if (process.state() == QProcess::NotRunning)
        return;
    // SIGTERM: nginx's fast shutdown, workers and all.
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished();
}

QString NginxServer::url(const QString &path) const
{
    return QStringLiteral("http://%1:%2%3").arg(host).arg(port).arg(path);
}

QList<Transfer> NginxServer::transfers(const QString &path) const
{
    QList<Transfer> transfers;
    for (const QByteArray &line : readFile(dir.filePath(QStringLiteral("access.log"))).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 5 && fields[0] == path.toUtf8())
            transfers << Transfer{QString::fromLatin1(fields[1]), fields[2].toInt(), fields[3].toLongLong()};
    }
    return transfers;
}
