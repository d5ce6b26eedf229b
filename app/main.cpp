#include "app/InstanceLock.h"
#include "app/LogFile.h"
#include "app/release.h"
#include "net/ProxyLogin.h"
#include "trust/SignedRecord.h"
#include "window/ProxyPrompt.h"
#include "window/UpdateQuorilexVideo.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // Windows users pick a scale (150 % is common); the window and its pictures grow by that
    // exact factor. Set before the application exists. X servers report a physical DPI that
    // is often arbitrary (Xvfb says 100), so elsewhere Qt's default stays.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif

    QApplication app(argc, argv);
    // Names the folders of the user's own that the log and the lock go to.
    QCoreApplication::setApplicationName(QStringLiteral("UpdateQuorilexVideo"));
    LogFile::install(LogFile::defaultPath());
    qCInfo(lcApp).noquote() << "start: updater" << updaterVersion << "of release" << currentVersion << currentReleaseTime
                            << "asks" << versionCheckUrl
                            << (updatePublicKey.isEmpty() ? QStringLiteral("with no key (plain records)")
                                                          : QStringLiteral("with the key ") + SignedRecord::fingerprint(updatePublicKey))
                            << "in" << QDir::currentPath();
    // The updater already running in this folder is the one the user is using.
    InstanceLock instance;
    if (!instance.acquire()) {
        const bool shown = instance.showRunning();
        qCInfo(lcApp).noquote() << "another updater runs in this folder:"
                                << (shown ? "its window is brought to the front" : "it does not answer") << "- exit 0";
        return 0;
    }
    // A proxy that wants a login the user types asks through a prompt of the window's own.
    ProxyLogin::instance().setAsker(&ProxyPrompt::ask);
    // The constructor asks the update server before the window is shown.
    UpdateQuorilexVideo window;
    window.show();
    QObject::connect(&instance, &InstanceLock::showRequested, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    const int code = app.exec();
    qCInfo(lcApp) << "exit" << code;
    return code;
}
