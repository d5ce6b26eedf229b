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

// The demo update server, started on a free (or given) port of 127.0.0.1 for one test.
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

private:
    std::unique_ptr<QTcpSocket> holder;
    QString base;
};

#endif
