#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include "testserver.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's nginx with the publisher's site config from deploy/, in a folder of its own on a
// loopback port, stopped with the object.
class NginxServer
{
public:
    // On the given port (0: a free one) of a loopback address; `extra` goes into the http
    // block, such as "limit_rate 4m;".
    explicit NginxServer(quint16 port = 0, const QByteArray &extra = QByteArray(),
                         const QString &host = QStringLiteral("127.0.0.1"));
    ~NginxServer();

    // Whether nginx is installed where the tests look.
    static QString program();

    bool isRunning() const { return running; }
    // The folder served: version/down_update.json and download/QuorilexVideo_32.msi.
    QString root() const { return dir.filePath(QStringLiteral("www")); }
    QString url(const QString &path) const;
    // The access log's answers for one path (as asked, query and all), oldest first.
    QList<Transfer> transfers(const QString &path) const;

private:
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    QString host;
    bool running = false;
};

#endif
