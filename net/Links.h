#ifndef LINKS_H
#define LINKS_H

#include <QSet>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QObject;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// The Qt side of one attempt's connections, at the scheduler's ids: each connection's network
// manager and its request under way, if any. One manager per connection: Qt opens up to six
// connections per manager and keeps idle ones open, so managers shared by connections would
// hold more than eight.
class Links
{
public:
    // The first connection goes through `first`; the others through managers made here. The
    // replies' signals go to `owner`; `retired` tells a connection that works no more.
    Links(QNetworkAccessManager &first, QObject *owner, std::function<bool(int)> retired);
    // Stops every request.
    ~Links();

    // A manager for connection `id` (the next one), which is to ask at `source`: one that no
    // connection still working uses, better one that last went there, as it
    // can keep its connection; a connection that follows a retired one takes its manager,
    // whose thread closes the old socket before it opens the new one.
    void add(int id, const QUrl &source);
    // Connects `count` managers to `source` ahead of the connections that are to ask there,
    // less those idle that reach it already; add() takes them then.
    void warm(const QUrl &source, int count);
    // Whether the connection's manager holds no connection elsewhere than `source`. If it does
    // (a redirect took it elsewhere, or it went to another source), renew() replaces it, which
    // closes that one, so that no more sockets are open than connections counted.
    bool reaches(int id, const QUrl &source) const;
    void renew(int id);

    // Sends `request` to `url` on the connection's manager; `shared`: one of several.
    QNetworkReply *open(int id, const QNetworkRequest &request, const QUrl &url, bool shared);
    // How far its reply reads ahead: less for one of several connections. Qt passes a change to
    // its network thread, so only a change is passed on.
    void share(int id, bool shared);
    // The request under way, null when none.
    QNetworkReply *reply(int id) const { return links[std::size_t(id)].reply; }
    // Stops the connection's request, if any; its reply goes later, with no more signals.
    void release(int id);
    void releaseAll();
    // Sockets that redirects left open, beside the connections' own.
    int lingering() const;

private:
    bool inUse(const QNetworkAccessManager *manager) const;
    bool linked(const QNetworkAccessManager *manager) const;

    struct Link
    {
        QNetworkAccessManager *manager = nullptr;
        QNetworkReply *reply = nullptr;
        bool shared = false;
        // The origin its request is at now.
        QString at;
    };

    QNetworkAccessManager &first;
    QObject *const owner;
    const std::function<bool(int)> retired;
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    // The origins each manager has connected to: it keeps a connection to each open.
    std::map<const QNetworkAccessManager *, QSet<QString>> origins;
    // Origins that redirected a connection: none is connected to ahead.
    QSet<QString> sendsAway;
    // Declared after the managers: a reply goes before its manager.
    std::vector<Link> links;
};

#endif
