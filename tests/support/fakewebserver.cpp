#include "fakewebserver.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

FakeWebServer::FakeWebServer(QObject *parent, quint16 port)
    : QTcpServer(parent)
{
    if (!listen(QHostAddress::LocalHost, port))
        qWarning() << "FakeWebServer cannot listen:" << errorString();
}

void FakeWebServer::setResponse(const QByteArray &path, const Response &response)
{
    responses.insert(path, response);
}

void FakeWebServer::setDefaultResponse(const Response &response)
{
    fallback = response;
}

QString FakeWebServer::url(const QByteArray &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()) + QString::fromLatin1(path);
}

void FakeWebServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(socketDescriptor);
    buffers.insert(socket, QByteArray());
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] { buffers.remove(socket); });
}

void FakeWebServer::readClient(QTcpSocket *socket)
{
    if (!buffers.contains(socket))
        return;
    QByteArray &buffer = buffers[socket];
    buffer += socket->readAll();
    const HttpHeadParse parse = parseHttpHead(buffer);
    if (parse.status != HttpHeadParse::Ok)
        return;
    // Closing with an unread body in the receive buffer resets the connection, and the client
    // may lose the answer; so a request body is read (and dropped) before answering.
    if (buffer.size() < parse.consumed + parse.head.header("Content-Length").toInt())
        return;

    buffers.remove(socket);
    received.append(parse.head);
    answer(socket, parse.head);
}

void FakeWebServer::answer(QTcpSocket *socket, const Request &request)
{
    const Response response = responses.value(request.target.split('?').value(0), fallback);
    if (response.stall)
        return;

    const QByteArray body =
        response.cutShort ? response.body.left(response.body.size() / 2) : response.body;
    socket->write("HTTP/1.1 " + QByteArray::number(response.status) +
                  (response.status == 200 ? " OK" : " Error") +
                  "\r\nContent-Type: " + response.contentType + "\r\nContent-Length: " +
                  QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n");
    if (response.trickleMs <= 0) {
        socket->write(body);
        socket->disconnectFromHost();
        return;
    }
    auto *drip = new QTimer(socket);
    auto sent = std::make_shared<int>(0);
    connect(drip, &QTimer::timeout, socket, [socket, drip, body, sent] {
        if (*sent == body.size()) {
            drip->stop();
            socket->disconnectFromHost();
            return;
        }
        socket->write(body.mid((*sent)++, 1));
    });
    drip->start(response.trickleMs);
}
