#ifndef LOGGING_H
#define LOGGING_H

#include <QLoggingCategory>
#include <QString>

class QUrl;

// What support reads in the user's log (see app/LogFile): the check, each download and
// each of its connections.
Q_DECLARE_LOGGING_CATEGORY(lcCheck)
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)

// An address as the log may hold it: no user name or password, and no query, where
// download links carry their tokens.
QString forLog(const QUrl &url);

#endif
