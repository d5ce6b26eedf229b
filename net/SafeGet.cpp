#include "SafeGet.h"

#include "ProxyLogin.h"
#include "RedirectGuard.h"
#include "app/release.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSysInfo>

QByteArray SafeGet::userAgent()
{
    // The system's own words lose what would end a comment in the header.
    static const QRegularExpression outsideComment(QStringLiteral("[^ -~]|[();\\\\]"));
    const QString system = QSysInfo::prettyProductName().remove(outsideComment).simplified();
    return QStringLiteral("UpdateQuorilexVideo/%1 (%2; %3; %4)")
        .arg(updaterVersion, currentVersion, system, QSysInfo::currentCpuArchitecture().remove(outsideComment))
        .toLatin1();
}

QNetworkRequest SafeGet::request(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    // Byte counts and caps must see what is stored: a compressed body would differ from the
    // announced size and inflate past any cap inside Qt's buffers.
    request.setRawHeader("Accept-Encoding", "identity");
    // Lets a publisher count the fleet by version, system and architecture.
    static const QByteArray agent = userAgent();
    request.setHeader(QNetworkRequest::UserAgentHeader, agent);
    return request;
}

QNetworkReply *SafeGet::send(QNetworkAccessManager &manager, const QNetworkRequest &request)
{
    ProxyLogin::instance().watch(manager);
    QNetworkReply *reply = manager.get(request);
    RedirectGuard::watch(reply);
    return reply;
}
