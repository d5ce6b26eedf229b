#include "testserver.h"

#include "comm/Comm.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// Under Wine the server is a Linux program: it takes the host's own paths, not drive Z:'s,
// and drive C: is the prefix's drive_c.
static QStringList forServer(QStringList arguments)
{
#ifdef Q_OS_WIN
    for (QString &argument : arguments) {
        if (argument.startsWith(QLatin1String("Z:/"), Qt::CaseInsensitive))
            argument.remove(0, 2);
        else if (argument.startsWith(QLatin1String("C:/"), Qt::CaseInsensitive))
            argument.replace(0, 2, qEnvironmentVariable("WINEPREFIX") + QStringLiteral("/drive_c"));
    }
#endif
    return arguments;
}

TestServer::TestServer(const QStringList &arguments)
    : TestServer(QStringLiteral(UPDATE_SERVER_SCRIPT),
                 arguments.contains(QStringLiteral("--port")) ? arguments : arguments + QStringList{"--port", "0"})
{
}

TestServer::TestServer(const QString &script, const QStringList &arguments)
{
    // The server reports where it listens over a socket and lives as long as that socket.
    // It runs detached: under Wine a Linux program's end is never seen, so nothing may wait
    // for it; the socket says when it is gone.
    QTcpServer announcements;
    if (!announcements.listen(QHostAddress::LocalHost)) {
        qWarning() << "test server: no port for its report:" << announcements.errorString();
        return;
    }
    const QStringList options{QStringLiteral("--report-to"), QString::number(announcements.serverPort())};
    QProcess process;
    process.setProgram(QStringLiteral(PYTHON_EXECUTABLE));
    process.setArguments(forServer(QStringList{script} + options + arguments));
    // A folder that outlives any test's: under Wine the server may otherwise start in the
    // last test's folder, gone by then, where Python cannot even start.
    process.setWorkingDirectory(QFileInfo(script).absolutePath());
    if (!process.startDetached()) {
        qWarning() << "test server: not started:" << process.errorString();
        return;
    }
    // Waited for in an event loop, not with waitForNewConnection(): under Wine that wait can
    // end at once, again and again, and a loop around it spins on both cores of a busy
    // machine while the server is still starting.
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&announcements, &QTcpServer::newConnection, &loop, &QEventLoop::quit);
    deadline.start(60000);
    if (!announcements.hasPendingConnections())
        loop.exec();
    if (!announcements.hasPendingConnections()) {
        qWarning() << "test server: no report within a minute";
        return;
    }
    holder.reset(announcements.nextPendingConnection());
    holder->setParent(nullptr);
    QObject::connect(holder.get(), &QIODevice::readyRead, &loop, &QEventLoop::quit);
    QObject::connect(holder.get(), &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    while (!holder->canReadLine() && deadline.isActive() && holder->state() == QAbstractSocket::ConnectedState)
        loop.exec();
    const QByteArray prefix = "listening on ";
    const QByteArray line = holder->readLine().trimmed();
    if (line.startsWith(prefix))
        base = QString::fromLatin1(line.mid(prefix.size()));
    else
        qWarning() << "test server:" << line << holder->errorString();
}

TestServer::~TestServer()
{
    if (!holder)
        return;
    // A word rather than a hang-up: under Wine a copy of the socket can stay open in another
    // program. The server closes its side, and its port, as it ends.
    holder->write("stop\n");
    holder->waitForBytesWritten(1000);
    holder->waitForDisconnected(10000);
}

QString TestServer::echo(const QByteArray &body, int status) const
{
    return url(QStringLiteral("/echo?status=%1&body=%2").arg(status).arg(QString::fromLatin1(body.toPercentEncoding())));
}

quint16 TestServer::closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

std::unique_ptr<TestServer> TestServer::startTls()
{
    const QString certificate = QStringLiteral(TEST_DATA "/localhost.pem");
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return std::make_unique<TestServer>(
        QStringList{QStringLiteral("--tls"), certificate, QStringLiteral(TEST_DATA "/localhost.key")});
}

std::unique_ptr<TestServer> TestServer::startProxyWithLogin(const QString &host)
{
    return std::unique_ptr<TestServer>(new TestServer(QStringLiteral(SQUID_PROXY_SCRIPT), {QStringLiteral("--host"), host}));
}

QList<Transfer> TestServer::transfers(const QString &path) const
{
    QList<Transfer> transfers;
    Comm comm;
    for (const QString &line : QString::fromUtf8(comm.httpGet(url(QStringLiteral("/requests?detail=1")))).split('\n')) {
        const QStringList fields = line.split(' ');
        if (fields.size() == 4 && fields[0] == path)
            transfers << Transfer{fields[1], fields[2].toInt(), fields[3].toLongLong()};
    }
    return transfers;
}
