#include "relayprobe.h"

#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTest>

TargetServer::TargetServer(QObject *parent)
    : QTcpServer(parent)
{
    listen(QHostAddress::LocalHost, 0);
}

QByteArray TargetServer::body() const
{
    return "hello from target " + QByteArray::number(serverPort());
}

void TargetServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (!socket->readAll().contains("\r\n\r\n"))
            return;
        const QByteArray content = body();
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(content.size()) +
                      "\r\nConnection: close\r\n\r\n" + content);
        socket->disconnectFromHost();
    });
}

QByteArray fetchThroughSocks(quint16 socksPort, quint16 targetPort, int timeoutMs)
{
    QTcpSocket client;
    client.setProxy(
        QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), socksPort));
    client.connectToHost(QStringLiteral("127.0.0.1"), targetPort);
    QByteArray response;
    bool sent = false;
    // A closed connection or the time running out both end the exchange; the caller judges
    // the response.
    [[maybe_unused]] const bool closed = QTest::qWaitFor(
        [&] {
            if (!sent && client.state() == QAbstractSocket::ConnectedState) {
                client.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                sent = true;
            }
            response += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    response += client.readAll();
    client.abort();
    return response;
}

bool waitUntilRelays(quint16 socksPort, const TargetServer &target, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (fetchThroughSocks(socksPort, target.serverPort()).endsWith(target.body()))
            return true;
        QTest::qWait(20);
    }
    return false;
}
