#include "SafeGet.h"

#include "RedirectGuard.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

QNetworkRequest SafeGet::request(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    // Byte counts and caps must see what is stored: a compressed body would differ from the
    // announced size and inflate past any cap inside Qt's buffers.
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

QNetworkReply *SafeGet::send(QNetworkAccessManager &manager, const QNetworkRequest &request)
{
    QNetworkReply *reply = manager.get(request);
    RedirectGuard::watch(reply);
    return reply;
}
