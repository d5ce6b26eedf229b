#ifndef TESTSERVER_H
#define TESTSERVER_H

#include <QList>
#include <QString>
#include <QTcpSocket>
#include <QStringList>

#include <memory>

// One answer in the server's transfer log: the Range asked for ("-" for none), the status
// (0 while a flood still runs) and the body bytes sent.
struct Transfer
{
    QString range;
    int status;
    qint64 sent;
};

// The demo update server (or another of the tests' servers), started on a free (or given)
// port of 127.0.0.1 for one test.
class TestServer
{
public:
    explicit TestServer(const QStringList &arguments = {});
    ~TestServer();

    bool isRunning() const { return !base.isEmpty(); }
    QString url(const QString &path) const { return base + path; }

    // An endpoint whose body is the given text, for version checks.
    QString echo(const QByteArray &body, int status = 200) const;

    // The server's transfer log for one path, oldest first.
    QList<Transfer> transfers(const QString &path) const;

    // A port on 127.0.0.1 where nothing listens.
    static quint16 closedPort();

    // The server speaking https with the test certificate, which Qt is made to trust.
    static std::unique_ptr<TestServer> startTls();
    // Squid asking for a Basic login (squidUser, squidPassword), where `host` resolves to
    // 127.0.0.1; not running where squid is not installed.
    static std::unique_ptr<TestServer> startProxyWithLogin(const QString &host);
    static constexpr const char *squidUser = "proxyuser";
    static constexpr const char *squidPassword = "right password";

private:
    // The Python program `script`, which reports where it listens.
    TestServer(const QString &script, const QStringList &arguments);

    std::unique_ptr<QTcpSocket> holder;
    QString base;
};

#endif
