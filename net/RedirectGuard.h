#ifndef REDIRECTGUARD_H
#define REDIRECTGUARD_H

#include <QHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QUrl>

#include <optional>

class QNetworkReply;

// Lets a reply follow a redirect only when that is no less safe than where it was: never
// from https to http, and never into a more private network, as browsers' private-network
// rules have it. A public server could otherwise send the updater to a service on the user's
// own machine or network; behind a proxy, to one that Qt reaches around the proxy.
class RedirectGuard : public QObject
{
    Q_OBJECT

public:
    // How private the network of an address is, most public first.
    enum class Reach { Public, Private, Loopback };

    // Watches the reply, whose request must ask for redirects to be verified.
    static void watch(QNetworkReply *reply);
    // Whether the guard stopped the reply at a redirect.
    static bool refused(const QNetworkReply &reply);
    // The values of a header in the last answer alone: Qt appends each answer's values to
    // those of the redirects before it.
    static QList<QByteArray> answerHeader(const QNetworkReply &reply, const QByteArray &name);

    static Reach reachOf(const QHostAddress &address);
    // The reach of a host name that needs no lookup: an address in any spelling, or a name
    // of this machine; nothing for a name that must be looked up.
    static std::optional<Reach> reachOfName(const QString &host);
    // Whether a redirect may go from a host of one reach to a host of the other.
    static bool allowed(Reach from, Reach to) { return to <= from; }

private:
    explicit RedirectGuard(QNetworkReply *reply);

    void judge(const QUrl &target);
    // Each header's value at the last redirect.
    QHash<QByteArray, QByteArray> redirectsHeaders;
    // How private the host of `url` may be, its most public (`leastPrivate`) or its most
    // private address; unknown until the name is looked up.
    void reachOfHost(const QUrl &url, bool leastPrivate, Reach *reach, bool *known);
    void decide();
    void refuse();

    QNetworkReply *const reply;
    QUrl current;
    QUrl target;
    Reach from = Reach::Public;
    Reach to = Reach::Public;
    bool fromKnown = false;
    bool toKnown = false;
};

#endif
