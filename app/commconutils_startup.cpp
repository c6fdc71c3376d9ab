#include "util/commconutils.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

void CommconUtils::initApplication(bool desktopSettingsAware)
{
    QGuiApplication::setDesktopSettingsAware(desktopSettingsAware);
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);
    // The web engine needs shared OpenGL contexts requested before the application exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);

#ifdef Q_OS_UNIX
    // Chromium refuses to start as root with its sandbox on; only then do we turn it off.
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qDebug() << "Running as root: web engine sandbox disabled";
    }
#endif
}

void CommconUtils::showError(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("error"), text, QMessageBox::NoButton,
                    nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.setStandardButtons(QMessageBox::Yes);
    box.setButtonText(QMessageBox::Yes, QStringLiteral("ok"));
    box.exec();
}
