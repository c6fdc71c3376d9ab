#include "fakewebserver.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

QByteArray FakeWebServer::Request::header(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return QByteArray();
}

FakeWebServer::FakeWebServer(QObject *parent, quint16 port)
    : QTcpServer(parent)
{
    qRegisterMetaType<FakeWebServer::Request>();
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

QList<FakeWebServer::Request> FakeWebServer::requests() const
{
    return received;
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
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;

    Request request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
    request.method = words.value(0);
    request.target = words.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append(
                {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }

    // Closing with an unread body in the receive buffer resets the connection, and the client
    // may lose the answer; so a request body is read (and dropped) before answering.
    const int bodyLength = request.header("Content-Length").toInt();
    if (buffer.size() < headEnd + 4 + bodyLength)
        return;

    buffers.remove(socket);
    received.append(request);
    emit requestReceived(request);
    answer(socket, request);
}

void FakeWebServer::answer(QTcpSocket *socket, const Request &request)
{
    QByteArray fields;
    if (crossOrigin) {
        fields = "Access-Control-Allow-Origin: *\r\n";
        if (request.method == "OPTIONS") {
            socket->write("HTTP/1.1 204 No Content\r\n" + fields +
                          "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                          "Access-Control-Allow-Headers: Authorization, Content-Type\r\n"
                          "Connection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
    }
    const QByteArray path = request.target.split('?').value(0);
    const Response response = responses.value(path, fallback);
    if (response.stall)
        return;

    const QByteArray body =
        response.cutShort ? response.body.left(response.body.size() / 2) : response.body;
    socket->write("HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                  reasonPhrase(response.status) + "\r\nContent-Type: " + response.contentType +
                  "\r\n" + fields + "Content-Length: " + QByteArray::number(response.body.size()) +
                  "\r\nConnection: close\r\n\r\n");
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
