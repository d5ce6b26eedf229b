#include "testserver.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

TestServer::TestServer(const QStringList &arguments)
{
    // The server reports where it listens over a socket and lives as long as that socket.
    QTcpServer announcements;
    if (!announcements.listen(QHostAddress::LocalHost))
        return;
    QStringList options{QStringLiteral("--report-to"), QString::number(announcements.serverPort())};
    if (!arguments.contains(QStringLiteral("--port")))
        options << QStringLiteral("--port") << QStringLiteral("0");
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral(PYTHON_EXECUTABLE),
                  QStringList{QStringLiteral(UPDATE_SERVER_SCRIPT)} + options + arguments);
    if (!announcements.waitForNewConnection(10000))
        return;
    holder.reset(announcements.nextPendingConnection());
    holder->setParent(nullptr);
    while (!holder->canReadLine() && holder->waitForReadyRead(10000)) {
    }
    const QByteArray prefix = "listening on ";
    const QByteArray line = holder->readLine().trimmed();
    if (line.startsWith(prefix))
        base = QString::fromLatin1(line.mid(prefix.size()));
}

TestServer::~TestServer()
{
    // Hanging up stops the server even where it cannot be killed (a Linux program under Wine).
    holder.reset();
    process.kill();
    process.waitForFinished();
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
