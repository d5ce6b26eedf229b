#ifndef LOGFILE_H
#define LOGFILE_H

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcApp)

// The user's log, which support reads when something fails in the field: each run appends
// its start, the check, each connection, the verification, the hand-off and the exit, with
// the technical reason of every failure. It stays small: past maxBytes its older half goes.
// It is plain text, a line per message, whatever a server sent.
class LogFile
{
public:
    static constexpr qint64 maxBytes = 1024 * 1024;
    // A message longer than this is cut: no line may crowd out the others.
    static constexpr int maxLineChars = 4096;

    // A message as one line of plain text: control characters (line breaks, escapes, NUL)
    // and the marks that reorder text shown as escapes, cut at maxLineChars.
    static QString plain(const QString &text);

    // In the user's local application-data folder (on Windows under %LOCALAPPDATA%).
    static QString defaultPath();
    // From now on the updater's messages, and anyone's warnings, go to the file at `path`.
    static void install(const QString &path);
    // Appends a line, first dropping the older half, whole lines only, when the file would
    // pass maxBytes.
    static void append(const QString &path, const QByteArray &line);
};

#endif
