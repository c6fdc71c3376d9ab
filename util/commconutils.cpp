#include "commconutils.h"

#include "localaddresses.h"

#include <QDebug>
#include <QTcpServer>
#include <QUdpSocket>

namespace {

// The core's inbounds listen on every address, TCP and UDP, and the core refuses to start
// at all when one of them cannot be bound: a port is only usable when both can be bound on
// 0.0.0.0, not merely on 127.0.0.1.
bool udpFree(quint16 port)
{
    QUdpSocket socket;
    return socket.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress);
}

} // namespace

quint16 CommconUtils::getUnusedPort()
{
    quint16 port = 0;
    // The system picks a free TCP port; one whose UDP side is taken is given back.
    for (int attempt = 0; attempt < 16 && port == 0; ++attempt) {
        QTcpServer server;
        server.listen(QHostAddress::AnyIPv4, 0);
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
    return server.listen(QHostAddress::AnyIPv4, port) && udpFree(port);
}

QStringList CommconUtils::getLocalIPv4List()
{
    static QStringList cache;
    return LocalAddresses::cachedIPv4(cache, LocalAddresses::systemInterfaces);
}
