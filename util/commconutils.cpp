#include "commconutils.h"

#include "localaddresses.h"

#include <QDebug>
#include <QTcpServer>

quint16 CommconUtils::getUnusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    qDebug() << "Found unused port: " << port;
    server.close();
    return port;
}

QStringList CommconUtils::getLocalIPv4List()
{
    static QStringList cache;
    return LocalAddresses::cachedIPv4(cache, LocalAddresses::systemInterfaces);
}
