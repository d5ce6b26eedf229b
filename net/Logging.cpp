#include "Logging.h"

#include <QUrl>

Q_LOGGING_CATEGORY(lcCheck, "updater.check")
Q_LOGGING_CATEGORY(lcDownload, "updater.download")
Q_LOGGING_CATEGORY(lcTransfer, "updater.transfer")
Q_LOGGING_CATEGORY(lcProxy, "updater.proxy")

QString fromServer(const QString &text)
{
    if (text.size() <= maxServerText)
        return text;
    return text.left(maxServerText) + QStringLiteral("… (%1 characters)").arg(text.size());
}

QString forLog(const QUrl &url)
{
    QUrl shown = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
    if (shown.hasQuery())
        shown.setQuery(QStringLiteral("…"));
    return fromServer(shown.toString());
}
