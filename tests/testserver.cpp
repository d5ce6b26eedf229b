#include "testserver.h"

#include "comm/Comm.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
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

// The server reports where it listens over a socket, and lives as long as that socket.
// Under Wine a program of the host's starts it (tests/windows/serverhost.py, which
// UPDATER_TEST_SERVERS names): a Linux program started from Wine inherits what Wine holds
// open, and on CI's machine its report into a socket that Wine listened on was refused.
static QTcpSocket *startByHost(const QStringList &command)
{
    auto *holder = new QTcpSocket;
    holder->connectToHost(QHostAddress::LocalHost, quint16(qEnvironmentVariableIntValue("UPDATER_TEST_SERVERS")));
    holder->write(QJsonDocument(QJsonArray::fromStringList(command)).toJson(QJsonDocument::Compact) + '\n');
    return holder;
}

// Elsewhere the server runs detached: under Wine a Linux program's end is never seen, so
// nothing may wait for it; the socket says when it is gone.
static QTcpSocket *startHere(QStringList command, QTimer &deadline)
{
    QTcpServer announcements;
    if (!announcements.listen(QHostAddress::LocalHost)) {
        qWarning() << "test server: no port for its report:" << announcements.errorString();
        return nullptr;
    }
    QProcess process;
    process.setProgram(command.takeFirst());
    process.setArguments(command + QStringList{QStringLiteral("--report-to"), QString::number(announcements.serverPort())});
    // A folder that outlives any test's.
    process.setWorkingDirectory(QFileInfo(command.first()).absolutePath());
    if (!process.startDetached()) {
        qWarning() << "test server: not started:" << process.errorString();
        return nullptr;
    }
    // An event loop, not waitForNewConnection(): a loop around that wait spins on a busy
    // machine while the server is still starting.
    QEventLoop loop;
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&announcements, &QTcpServer::newConnection, &loop, &QEventLoop::quit);
    if (!announcements.hasPendingConnections())
        loop.exec();
    if (!announcements.hasPendingConnections()) {
        qWarning() << "test server: no report within a minute";
        return nullptr;
    }
    QTcpSocket *holder = announcements.nextPendingConnection();
    holder->setParent(nullptr);
    return holder;
}

TestServer::TestServer(const QString &script, const QStringList &arguments)
{
    const QStringList command = forServer(QStringList{QStringLiteral(PYTHON_EXECUTABLE), script} + arguments);
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(60000);
    holder.reset(qEnvironmentVariableIsSet("UPDATER_TEST_SERVERS") ? startByHost(command) : startHere(command, deadline));
    if (!holder)
        return;
    QEventLoop loop;
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(holder.get(), &QIODevice::readyRead, &loop, &QEventLoop::quit);
    QObject::connect(holder.get(), &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(holder.get(), &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    while (!holder->canReadLine() && deadline.isActive() && holder->state() != QAbstractSocket::UnconnectedState)
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
