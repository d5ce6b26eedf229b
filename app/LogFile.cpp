#include "LogFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>
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

void writeMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QByteArray category(context.category ? context.category : "default");
    // Qt's own chatter stays out unless it warns.
    if (category.startsWith("updater.") || type >= QtWarningMsg) {
        const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' '
            + letterOf(type) + ' ' + category + ": " + text.toUtf8().replace('\n', ' ') + '\n';
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

void LogFile::append(const QString &path, const QByteArray &line)
{
    QFile file(path);
    if (file.size() + line.size() > maxBytes && file.open(QIODevice::ReadOnly)) {
        // The newer half, from the start of a line.
        file.seek(file.size() - maxBytes / 2);
        QByteArray kept = file.readAll();
        kept.remove(0, kept.indexOf('\n') + 1);
        file.close();
        QSaveFile shorter(path);
        if (shorter.open(QIODevice::WriteOnly)) {
            shorter.write(kept);
            shorter.commit();
        }
    }
    // A log that cannot be written must not stop the update.
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line);
}
