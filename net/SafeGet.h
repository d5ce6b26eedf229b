#ifndef SAFEGET_H
#define SAFEGET_H

#include <QByteArray>
#include <QNetworkRequest>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// The one way this program asks a server for anything: the version record and the package.
class SafeGet
{
public:
    static constexpr int maxRedirects = 5;

    // A GET request that asks for the body as it is stored (identity encoding) and follows
    // maxRedirects redirects at most, each only as send() allows.
    static QNetworkRequest request(const QUrl &url);
    // "UpdateQuorilexVideo/<updater version> (<release>; <system and its version>; <arch>)",
    // sent with every request.
    static QByteArray userAgent();
    // Sends such a request, following its redirects only when they are no less safe: never
    // to http from https, never into a more private network.
    static QNetworkReply *send(QNetworkAccessManager &manager, const QNetworkRequest &request);
};

#endif
