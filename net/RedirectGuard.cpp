#include "RedirectGuard.h"

#include "ProxyFactory.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace {

const char refusedProperty[] = "redirectRefused";

bool isLocalhostName(const QString &host)
{
    return host == QLatin1String("localhost") || host.endsWith(QLatin1String(".localhost"));
}

// The IPv4 address that an IPv6 address carries in its last 32 bits and reaches: mapped
// (::ffff:a.b.c.d), translated (::ffff:0:a.b.c.d), compatible (::a.b.c.d) or through the
// NAT64 prefixes (64:ff9b::/96, 64:ff9b:1::/48).
bool embeddedIPv4(const QHostAddress &address, QHostAddress *ipv4)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    const auto zero = [&bytes](int from, int to) {
        return std::all_of(bytes.c + from, bytes.c + to, [](quint8 byte) { return byte == 0; });
    };
    const bool ffff = bytes[10] == 0xff && bytes[11] == 0xff;
    const bool carries = (zero(0, 10) && ffff) || (zero(0, 8) && bytes[8] == 0xff && bytes[9] == 0xff && zero(10, 12))
        // :: and ::1 are IPv6's own.
        || (zero(0, 12) && !zero(12, 15))
        || (bytes[0] == 0 && bytes[1] == 0x64 && bytes[2] == 0xff && bytes[3] == 0x9b
            && (zero(4, 12) || (bytes[4] == 0 && bytes[5] == 1)));
    if (!carries)
        return false;
    *ipv4 = QHostAddress(quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16 | quint32(bytes[14]) << 8 | bytes[15]);
    return true;
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

QList<QByteArray> RedirectGuard::answerHeader(const QNetworkReply &reply, const QByteArray &name)
{
    QByteArray value = reply.rawHeader(name);
    // Whether Qt kept the redirect's values depends on when the next answer came.
    if (const RedirectGuard *guard = reply.findChild<RedirectGuard *>(QString(), Qt::FindDirectChildrenOnly)) {
        const QByteArray before = guard->redirectsHeaders.value(name.toLower());
        if (!before.isEmpty() && value.startsWith(before + ", "))
            value = value.mid(before.size() + 2);
        else if (value == before)
            value.clear();
    }
    return value.isEmpty() ? QList<QByteArray>() : value.split(',');
}

RedirectGuard::Reach RedirectGuard::reachOf(const QHostAddress &given)
{
    QHostAddress address = given;
    // An IPv4 address written in IPv6 form is that IPv4 address.
    embeddedIPv4(given, &address);
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
    for (const QByteArray &name : reply->rawHeaderList())
        redirectsHeaders.insert(name.toLower(), reply->rawHeader(name));
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

std::optional<RedirectGuard::Reach> RedirectGuard::reachOfName(const QString &name)
{
    QString host = name.toLower();
    // "127.0.0.1." and "localhost." are fully qualified spellings of the same.
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress literal(host);
    if (!literal.isNull())
        return reachOf(literal);
    if (isLocalhostName(host))
        return Reach::Loopback;
    return std::nullopt;
}

void RedirectGuard::reachOfHost(const QUrl &url, bool leastPrivate, Reach *reach, bool *known)
{
    const QString host = url.host();
    const std::optional<Reach> named = reachOfName(host);
    // A proxy resolves names itself.
    if (named || ProxyFactory::proxyFor(url)) {
        // A name that a proxy resolves cannot be known here: it counts as public.
        *reach = named.value_or(Reach::Public);
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
