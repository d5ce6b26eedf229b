#include "RedirectGuard.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace {

const char refusedProperty[] = "redirectRefused";

bool isLocalhostName(const QString &host)
{
    return host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost"));
}

// Whether Qt sends a request for `url` to a proxy; a proxy resolves names itself.
bool throughProxy(const QUrl &url)
{
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    return !proxies.isEmpty() && proxies.first().type() != QNetworkProxy::NoProxy
        && proxies.first().type() != QNetworkProxy::DefaultProxy;
}

} // namespace

RedirectGuard::RedirectGuard(QNetworkReply *reply)
    : QObject(reply)
    , reply(reply)
    , current(reply->request().url())
{
    connect(reply, &QNetworkReply::redirected, this, &RedirectGuard::judge);
}

void RedirectGuard::watch(QNetworkReply *reply)
{
    new RedirectGuard(reply);
}

bool RedirectGuard::refused(const QNetworkReply &reply)
{
    return reply.property(refusedProperty).toBool();
}

RedirectGuard::Reach RedirectGuard::reachOf(const QHostAddress &given)
{
    QHostAddress address = given;
    // An IPv4 address written in IPv6 form is that IPv4 address.
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4);
    const auto in = [&address](const char *network, int bits) {
        return address.isInSubnet(QHostAddress(QString::fromLatin1(network)), bits);
    };
    // 0.0.0.0 and :: reach this machine on most systems.
    if (address.isLoopback() || in("0.0.0.0", 8) || address == QHostAddress::AnyIPv6)
        return Reach::Loopback;
    if (in("10.0.0.0", 8) || in("172.16.0.0", 12) || in("192.168.0.0", 16) || in("100.64.0.0", 10)
        || address.isLinkLocal() || address.isUniqueLocalUnicast() || address.isSiteLocal())
        return Reach::Private;
    return Reach::Public;
}

void RedirectGuard::judge(const QUrl &redirect)
{
    target = current.resolved(redirect);
    if (current.scheme() == QLatin1String("https") && target.scheme() != QLatin1String("https")) {
        refuse();
        return;
    }
    fromKnown = toKnown = false;
    reachOfHost(current, true, &from, &fromKnown);
    reachOfHost(target, false, &to, &toKnown);
    decide();
}

void RedirectGuard::reachOfHost(const QUrl &url, bool leastPrivate, Reach *reach, bool *known)
{
    const QString host = url.host();
    const QHostAddress literal(host);
    if (!literal.isNull() || isLocalhostName(host) || throughProxy(url)) {
        // A name that a proxy resolves cannot be known here: it counts as public.
        *reach = !literal.isNull() ? reachOf(literal) : isLocalhostName(host) ? Reach::Loopback : Reach::Public;
        *known = true;
        return;
    }
    QHostInfo::lookupHost(host, this, [=](const QHostInfo &info) {
        QList<Reach> reaches;
        for (const QHostAddress &address : info.addresses())
            reaches << reachOf(address);
        // A name that does not resolve goes nowhere, whatever it is judged.
        if (reaches.isEmpty())
            reaches << Reach::Public;
        *reach = leastPrivate ? *std::min_element(reaches.begin(), reaches.end())
                              : *std::max_element(reaches.begin(), reaches.end());
        *known = true;
        decide();
    });
}

void RedirectGuard::decide()
{
    if (!fromKnown || !toKnown)
        return;
    if (!allowed(from, to)) {
        refuse();
        return;
    }
    current = target;
    // Qt 5 connects redirectAllowed() to its handler once more at every hop, so that the
    // signal would follow the second redirect twice over; the handler is called once instead.
    if (!QMetaObject::invokeMethod(reply, "followRedirect", Qt::QueuedConnection))
        emit reply->redirectAllowed();
}

void RedirectGuard::refuse()
{
    reply->setProperty(refusedProperty, true);
    reply->abort();
}
