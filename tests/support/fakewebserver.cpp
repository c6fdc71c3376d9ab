#include "fakewebserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

FakeWebServer::FakeWebServer(QObject *parent, quint16 port)
    : QTcpServer(parent)
{
    if (!listen(QHostAddress::LocalHost, port))
        qWarning("FakeWebServer cannot listen: %s", qPrintable(errorString()));
}

QString FakeWebServer::url(const QByteArray &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()) + QString::fromLatin1(path);
}

void FakeWebServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(socketDescriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        const HttpHeadParse parse = parseHttpHead(*buffer);
        // Closing with an unread body in the receive buffer resets the connection, and the
        // client may lose the answer; so a request body is read (and dropped) before answering.
        if (parse.status != HttpHeadParse::Ok ||
            buffer->size() < parse.consumed + parse.head.header("Content-Length").toInt())
            return;
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        received.append(parse.head);
        answer(socket, parse.head);
    });
}

void FakeWebServer::answer(QTcpSocket *socket, const HttpRequestHead &request)
{
    const Response response = responses.value(request.target.split('?').value(0),
                                              {404, "text/plain", "Not Found", false, false, 0});
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
