#include "window/UpdateQuorilexVideo.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The constructor asks the update server before the window is shown.
    UpdateQuorilexVideo window;
    window.show();
    return app.exec();
}
