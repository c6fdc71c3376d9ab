#include "app/constants.h"
#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "app/singleinstance.h"
#include "util/commconutils.h"
#include "util/renderer.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    CommconUtils::initApplication(true);
    QApplication app(argc, argv);
    Renderer::chooseForWebView();
    QuitSignals quitSignals;

    SingleInstance guard(QString::fromLatin1(SINGLE_INSTANCE_KEY));
    if (!guard.tryAcquire()) {
        CommconUtils::showError(QStringLiteral("Another instance is already running."));
        return 1;
    }

    // The window stops the core and resets the configuration when the application quits,
    // whichever way: the tray's menu, the last window closed, or a signal.
    MainWindow window;
    window.show();
    return app.exec();
}
