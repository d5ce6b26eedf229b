#include "downloadrun.h"

#include "signingkey.h"
#include "testserver.h"
#include "testwindow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

QString offerFor(const TestServer &server, const QString &downloadUri, const QJsonObject &members,
                 const SigningKey *publisher)
{
    QJsonObject record{{"state", 1}, {"Version", "3.1.0"}, {"Time", 1700000000},
                       {"UpdateContent", "说明"}, {"DownloadUri", downloadUri}};
    for (auto it = members.begin(); it != members.end(); ++it)
        record.insert(it.key(), it.value());
    if (publisher) {
        record.insert(QStringLiteral("Expires"), double(QDateTime::currentSecsSinceEpoch() + 3600));
        record = publisher->signedMembers(QJsonDocument(record).toJson(QJsonDocument::Compact));
    }
    return server.echo(QJsonDocument(QJsonObject{{"data", record}}).toJson(QJsonDocument::Compact));
}

int runUntilSettled(TestWindow &window)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (window.button()->isEnabled() && window.progress()->isHidden())
            QCoreApplication::exit(1);
    });
    poll.start(20);
    QTimer::singleShot(DownloadJob::stallTimeoutMs + 20000, &poll, [] { QCoreApplication::exit(99); });
    return QCoreApplication::exec();
}

int pressAndWait(TestWindow &window)
{
    window.show();
    QTest::mouseClick(window.button(), Qt::LeftButton);
    return runUntilSettled(window);
}
