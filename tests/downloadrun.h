#ifndef DOWNLOADRUN_H
#define DOWNLOADRUN_H

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class SigningKey;
class TestServer;
class TestWindow;

// Records what would have been handed to the desktop.
class DesktopRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// A version check's address on `server` whose record offers the package at downloadUri
// with the members added; signed by `publisher` when given, as a server for a build with a
// key must send it.
QString offerFor(const TestServer &server, const QString &downloadUri, const QJsonObject &members = QJsonObject(),
                 const SigningKey *publisher = nullptr);

// Runs the application's event loop as the program does: 0 when the updater asked to
// quit, 1 when it is back at its offer, 99 when neither happened in time.
int runUntilSettled(TestWindow &window);
// Shows the window, presses its button and runs until it settles.
int pressAndWait(TestWindow &window);

#endif
