#include "commconutils.h"

#include "localaddresses.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const int portProbeMs = 200;

// The core's inbounds listen on every address of both families ("0.0.0.0" is dual-stack for
// it), TCP and UDP, and the core refuses to start at all when one of them cannot be bound: a
// port is only usable when both can be bound on Any, not merely on 127.0.0.1. Qt falls back to
// IPv4 alone on a machine without IPv6.
bool udpFree(quint16 port)
{
    QUdpSocket socket;
    return socket.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress);
}

} // namespace

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

quint16 CommconUtils::getUnusedPort()
{
    quint16 port = 0;
    // The system picks a free TCP port; one whose UDP side is taken is given back.
    for (int attempt = 0; attempt < 16 && port == 0; ++attempt) {
        QTcpServer server;
        server.listen(QHostAddress::Any, 0);
        const quint16 offered = server.serverPort();
        if (offered == 0)
            break;
        if (udpFree(offered))
            port = offered;
    }
    qDebug() << "Found unused port: " << port;
    return port;
}

bool CommconUtils::isPortFree(quint16 port)
{
    if (port == 0)
        return false;
    QTcpServer server;
    return server.listen(QHostAddress::Any, port) && udpFree(port);
}

bool CommconUtils::portAccepts(quint16 port)
{
    // On loopback a connection is accepted or refused at once; the wait only bounds a
    // listener whose backlog is full.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool accepted = socket.waitForConnected(portProbeMs);
    socket.abort();
    return accepted;
}

QStringList CommconUtils::getLocalIPv4List()
{
    static QStringList cache;
    return LocalAddresses::cachedIPv4(cache, LocalAddresses::systemInterfaces);
}
