#include "LogFile.h"

#include "net/OwnFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcApp, "updater.app")

namespace {

QString logPath;
QtMessageHandler previousHandler = nullptr;
// Qt warns from its network threads too.
QMutex writing;

char letterOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 'D';
    case QtInfoMsg:
        return 'I';
    case QtWarningMsg:
        return 'W';
    case QtCriticalMsg:
        return 'C';
    case QtFatalMsg:
        return 'F';
    }
    return '?';
}

// Notepad before Windows 10 shows a file of LF line ends as one line.
#ifdef Q_OS_WIN
constexpr char lineEnd[] = "\r\n";
#else
constexpr char lineEnd[] = "\n";
#endif

void writeMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QByteArray category(context.category ? context.category : "default");
    // Qt's own chatter stays out unless it warns.
    if (category.startsWith("updater.") || type >= QtWarningMsg) {
        // The user's own clock with its offset, so that a time the user remembers is found.
        const QDateTime now = QDateTime::currentDateTime();
        const QByteArray line = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8() + ' '
            + letterOf(type) + ' ' + category + ": " + LogFile::plain(text).toUtf8() + lineEnd;
        const QMutexLocker locker(&writing);
        LogFile::append(logPath, line);
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

} // namespace

QString LogFile::defaultPath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return folder.isEmpty() ? QString() : QDir(folder).filePath(QStringLiteral("UpdateQuorilexVideo.log"));
}

void LogFile::install(const QString &path)
{
    if (path.isEmpty() || !QDir().mkpath(QFileInfo(path).absolutePath()))
        return;
    logPath = path;
    previousHandler = qInstallMessageHandler(writeMessage);
}

QString LogFile::plain(const QString &text)
{
    QString line;
    for (const QChar c : text.left(maxLineChars)) {
        const char16_t code = c.unicode();
        // C0 and C1 controls, DEL, and the line, paragraph and direction marks: none may
        // start a line of its own, move the cursor or make text read in another order.
        const bool control = code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x200e || code == 0x200f
            || (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
        line += control ? QStringLiteral("\\x{%1}").arg(int(code), 0, 16) : QString(c);
    }
    if (text.size() > maxLineChars)
        line += QStringLiteral("… (%1 characters)").arg(text.size());
    return line;
}

void LogFile::append(const QString &path, const QByteArray &line)
{
    QFile file(path);
    if (file.size() + line.size() > maxBytes && file.open(QIODevice::ReadOnly)) {
        // The newer half, whole lines only (the byte before it tells whether its first line
        // is whole); the line being appended follows, so the file never ends up empty.
        file.seek(file.size() - maxBytes / 2 - 1);
        const QByteArray newer = file.readAll();
        const int start = newer.indexOf('\n');
        const QByteArray kept = start < 0 ? QByteArray() : newer.mid(start + 1);
        file.close();
        // Written beside the log and renamed over it: a link there is replaced, never followed.
        OwnFile::replace(path, kept);
    }
    // A log that cannot be written must not stop the update.
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line);
}
