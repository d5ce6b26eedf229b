#include "ProxyFactory.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
#include <winhttp.h>
#endif

namespace {

QStringList entriesOf(const QString &list)
{
    static const QRegularExpression separators(QStringLiteral("[\\s;]+"));
    return list.split(separators, Qt::SkipEmptyParts);
}

// As Windows reads the bypass list: loopback always, "<local>" for names without a dot, an
// address in a listed subnet, a name matching a listed pattern.
bool bypassed(const QString &host, const QString &bypass)
{
    QHostAddress address;
    const bool isAddress = address.setAddress(host);
    if (isAddress && address.isLoopback())
        return true;
    for (const QString &entry : entriesOf(bypass)) {
        if (entry == QLatin1String("<local>") && !host.contains(QLatin1Char('.')) && !isAddress)
            return true;
        if (isAddress && address.isInSubnet(QHostAddress::parseSubnet(entry)))
            return true;
        const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(entry),
                                         QRegularExpression::CaseInsensitiveOption);
        if (pattern.match(host).hasMatch())
            return true;
    }
    return false;
}

} // namespace

std::optional<QNetworkProxy> ProxyFactory::withLogin(const QString &servers, const QString &bypass,
                                                    const QNetworkProxyQuery &query)
{
    // "[tag=][scheme://][user:password@]host[:port]", the tag naming the scheme it serves.
    std::optional<QNetworkProxy> tagged;
    std::optional<QNetworkProxy> untagged;
    for (const QString &entry : entriesOf(servers)) {
        const int equals = entry.indexOf(QLatin1Char('='));
        const QString tag = equals < 0 ? QString() : entry.left(equals);
        if (!tag.isEmpty() && tag != query.protocolTag())
            continue;
        const QString server = entry.mid(equals + 1);
        const QUrl url(server.contains(QLatin1String("://")) ? server : QStringLiteral("http://") + server, QUrl::StrictMode);
        if (!url.isValid() || url.userName().isEmpty() || url.host().isEmpty()
            || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
            continue;
        std::optional<QNetworkProxy> &slot = tag.isEmpty() ? untagged : tagged;
        if (!slot)
            slot = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(8080)),
                                 url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    }
    if ((!tagged && !untagged) || bypassed(query.peerHostName(), bypass))
        return std::nullopt;
    return tagged ? tagged : untagged;
}

std::optional<QNetworkProxy> ProxyFactory::proxyFor(const QUrl &url)
{
    const QNetworkProxy proxy = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0);
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        return std::nullopt;
    return proxy;
}

QList<QNetworkProxy> ProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    const QList<QNetworkProxy> proxies = systemProxyForQuery(query);
#ifdef Q_OS_WIN
    if (proxies.value(0).type() != QNetworkProxy::NoProxy)
        return proxies;
    // Only the proxy set by hand: a configuration script or detection decides for itself.
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return proxies;
    const bool byHand = !config.fAutoDetect && !config.lpszAutoConfigUrl;
    const QString servers = config.lpszProxy ? QString::fromWCharArray(config.lpszProxy) : QString();
    const QString bypass = config.lpszProxyBypass ? QString::fromWCharArray(config.lpszProxyBypass) : QString();
    for (LPWSTR text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass})
        if (text)
            GlobalFree(text);
    if (byHand)
        if (const std::optional<QNetworkProxy> proxy = withLogin(servers, bypass, query))
            return {*proxy};
#endif
    return proxies;
}
