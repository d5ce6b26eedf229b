#ifndef LOGGING_H
#define LOGGING_H

#include <QLoggingCategory>
#include <QString>

class QUrl;

// What support reads in the user's log (see app/LogFile): the check, each download, each
// of its connections and the proxy's logins.
Q_DECLARE_LOGGING_CATEGORY(lcCheck)
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
Q_DECLARE_LOGGING_CATEGORY(lcProxy)

// A server's words as the log may hold them: cut at this many characters, so that no
// answer can crowd out the lines that tell what happened. The log escapes what they hold.
constexpr int maxServerText = 300;
QString fromServer(const QString &text);

// An address as the log may hold it: no user name or password, and no query, where
// download links carry their tokens; cut as a server's words are.
QString forLog(const QUrl &url);

#endif
