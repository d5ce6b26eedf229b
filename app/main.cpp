#include "window/UpdateQuorilexVideo.h"

#include <QApplication>

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
    // The constructor asks the update server before the window is shown.
    UpdateQuorilexVideo window;
    window.show();
    return app.exec();
}
