#include "testserver.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>

TestServer::TestServer(const QStringList &arguments)
{
    QStringList options{QStringLiteral("--until-stdin-closes")};
    if (!arguments.contains(QStringLiteral("--port")))
        options << QStringLiteral("--port") << QStringLiteral("0");
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(PYTHON_EXECUTABLE),
                  QStringList{QStringLiteral(UPDATE_SERVER_SCRIPT)} + options + arguments);
    const QByteArray prefix = "listening on ";
    while (process.waitForReadyRead(10000) || process.canReadLine()) {
        if (!process.canReadLine())
            continue;
        const QByteArray line = process.readLine().trimmed();
        if (line.startsWith(prefix)) {
            base = QString::fromLatin1(line.mid(prefix.size()));
            return;
        }
    }
}

TestServer::~TestServer()
{
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
