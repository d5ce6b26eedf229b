#ifndef PROXYFACTORY_H
#define PROXYFACTORY_H

#include <QNetworkProxyFactory>

#include <optional>

// The proxies the system names for a request, as Qt reads them, and on Windows one form
// more: a proxy setting with a login in it ("user:password@host:port"). Qt passes such an
// entry over and goes around the proxy, which a company network refuses; here the proxy is
// used, with that login.
class ProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

    // The proxy Qt sends a request for `url` to; nothing when it goes directly.
    static std::optional<QNetworkProxy> proxyFor(const QUrl &url);

    // The proxy that a Windows proxy setting (its server and bypass lists) names for `query`
    // when the entry for it carries a login; nothing otherwise.
    static std::optional<QNetworkProxy> withLogin(const QString &servers, const QString &bypass,
                                                  const QNetworkProxyQuery &query);
};

#endif
