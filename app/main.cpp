#include "app/constants.h"
#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "app/singleinstance.h"
#include "util/commconutils.h"

#include <QApplication>
#include <QDebug>

int main(int argc, char *argv[])
{
    CommconUtils::initApplication(true);
    QApplication app(argc, argv);
    QuitSignals quitSignals;

    SingleInstance guard(QString::fromLatin1(SINGLE_INSTANCE_KEY));
    if (!guard.tryAcquire()) {
        CommconUtils::showError(QStringLiteral("Another instance is already running."));
        return 1;
    }

    MainWindow window;
    window.show();
    QObject::connect(
        &app, &QCoreApplication::aboutToQuit, &app,
        [&window] {
            window.cleanup();
            qDebug() << "Application is about to quit. Cleaning up...";
        },
        Qt::DirectConnection);
    return app.exec();
}
