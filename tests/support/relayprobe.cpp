#include "relayprobe.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <functional>

TargetServer::TargetServer(QObject *parent)
    : QTcpServer(parent)
{
    listen(QHostAddress::LocalHost, 0);
}

QByteArray TargetServer::bodyFor(quint16 port)
{
    return "hello from target " + QByteArray::number(port);
}

void TargetServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (!socket->readAll().contains("\r\n\r\n"))
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body().size()) +
                      "\r\nConnection: close\r\n\r\n" + body());
        socket->disconnectFromHost();
    });
}

QByteArray fetchThroughSocks(quint16 socksPort, quint16 targetPort, int timeoutMs)
{
    // The SOCKS5 greeting (no authentication), CONNECT 127.0.0.1:targetPort and the HTTP
    // request in one write: Qt's own SOCKS client spends about 100 ms on its round trips,
    // which would hide what a benchmark measures.
    QByteArray request("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11);
    request.append(char(targetPort >> 8)).append(char(targetPort & 0xff));
    request.append("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const int socksReplies = 2 + 10; // method choice, then the reply with an IPv4 address

    // Driven by the socket's signals, as the target answers from this same thread. The body,
    // not the close, ends the wait: the core closes the client's side about a second late.
    QTcpSocket client;
    QByteArray response;
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QTcpSocket::connected, &loop, [&] { client.write(request); });
    QObject::connect(&client, &QTcpSocket::readyRead, &loop, [&] {
        response += client.readAll();
        if (response.endsWith(TargetServer::bodyFor(targetPort)))
            loop.quit();
    });
    QObject::connect(&client, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    client.connectToHost(QHostAddress::LocalHost, socksPort);
    loop.exec();
    response += client.readAll();
    client.abort();
    if (response.size() < socksReplies || response.at(1) != 0 || response.at(3) != 0)
        return QByteArray(); // refused by the proxy
    return response.mid(socksReplies);
}

bool waitUntilRelays(quint16 socksPort, const TargetServer &target, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (fetchThroughSocks(socksPort, target.serverPort()).endsWith(target.body()))
            return true;
        QTest::qWait(2); // short, so a port that has just opened is seen at once
    }
    return false;
}

EchoServer::EchoServer(QObject *parent)
    : QTcpServer(parent)
{
    listen(QHostAddress::LocalHost, 0);
}

void EchoServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
}

namespace {

// Runs the event loop until done() holds, the socket closes or the time runs out.
bool waitOn(QTcpSocket &socket, int timeoutMs, const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (done())
            loop.quit();
    };
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, check);
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

} // namespace

HeldConnection::HeldConnection(quint16 socksPort, quint16 targetPort)
{
    QByteArray request("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11);
    request.append(char(targetPort >> 8)).append(char(targetPort & 0xff));
    m_socket.connectToHost(QHostAddress::LocalHost, socksPort);
    if (!m_socket.waitForConnected(3000))
        return;
    m_socket.write(request);
    const int replies = 2 + 10;
    if (!waitOn(m_socket, 3000, [this] { return m_socket.bytesAvailable() >= 2 + 10; }))
        return;
    const QByteArray reply = m_socket.read(replies);
    m_open = reply.at(1) == 0 && reply.at(3) == 0;
}

bool HeldConnection::echoes(int timeoutMs)
{
    if (!m_open || m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    const QByteArray line = "line " + QByteArray::number(++m_sent) + "\n";
    m_socket.write(line);
    QByteArray got;
    return waitOn(m_socket, timeoutMs, [&] {
        got += m_socket.readAll();
        return got.endsWith(line);
    });
}
