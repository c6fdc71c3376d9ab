#include "httpservice.h"

#include "core/configurl.h"
#include "core/coreapi.h"
#include "core/proxyentries.h"
#include "http/httprequest.h"
#include "http/httproutes.h"
#include "util/commconutils.h"
#include "util/procnettcp.h"

#include <QDebug>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

HttpService::HttpService(const ConfigStore *store, QObject *parent)
    : QTcpServer(parent)
    , store(store)
{}

bool HttpService::listenOnServicePort()
{
    // The server's socket belongs to the thread the service lives in.
    if (thread() != QThread::currentThread()) {
        bool listening = false;
        QMetaObject::invokeMethod(
            this, [this] { return listenOnServicePort(); }, Qt::BlockingQueuedConnection,
            &listening);
        return listening;
    }
    if (isListening())
        return true;
    if (listen(QHostAddress::Any, HTTP_SERVICE_PORT))
        return true;
    qDebug() << "HTTP service could not listen on port" << HTTP_SERVICE_PORT << ":" << errorString()
             << "- no proxy can start until the port is free; the next change tries again";
    return false;
}

QList<QPair<QString, QString>> HttpService::parseQueryParams(const QString &target)
{
    return HttpRoutes::parseQueryParams(target);
}

void HttpService::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(socketDescriptor);
    received.insert(socket, QByteArray());
    connect(socket, &QTcpSocket::readyRead, this, &HttpService::readClient);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] { received.remove(socket); });

    // A client that never finishes its head must not hold the connection for ever. The timer
    // is the socket's child, so that it ends with the connection: a QTimer::singleShot would
    // stay registered for the whole limit after every answered request.
    // Precise, as a coarse timer may fire up to 5% before the limit.
    auto *headerTimer = new QTimer(socket);
    headerTimer->setSingleShot(true);
    headerTimer->setTimerType(Qt::PreciseTimer);
    connect(headerTimer, &QTimer::timeout, this, [this, socket] {
        if (received.contains(socket)) {
            received.remove(socket);
            socket->abort();
            socket->deleteLater();
        }
    });
    headerTimer->start(headerTimeoutMs);
}

void HttpService::readClient()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || !received.contains(socket))
        return;

    QByteArray &buffer = received[socket];
    buffer += socket->readAll();
    const HttpHeadParse parsed = parseHttpHead(buffer);
    if (parsed.status == HttpHeadParse::Incomplete)
        return;

    const QByteArray head = buffer.left(parsed.consumed);
    received.remove(socket);
    disconnect(socket, &QTcpSocket::readyRead, this, &HttpService::readClient);
    // Nothing after the head is used, yet a caller may go on sending while it waits for its
    // port: dropped as it arrives, it cannot pile up for the whole wait.
    connect(socket, &QTcpSocket::readyRead, socket,
            [socket] { socket->skip(socket->bytesAvailable()); });
    if (parsed.status == HttpHeadParse::Bad) {
        qDebug() << "Refused HTTP request:"
                 << "header too large";
        answer(socket, HttpRoutes::badRequestAnswer(QStringLiteral("request header too large")));
        return;
    }
    processRequest(head, socket);
}

void HttpService::processRequest(QByteArray requestData, QTcpSocket *clientSocket)
{
    qDebug() << "Received HTTP request:" << HttpRoutes::maskedForLog(requestData);
    const HttpRequestHead head = parseHttpHead(requestData).head;

    // A web page must not start proxies on the user's account nor read the configuration.
    if (HttpRoutes::isCrossSite(head)) {
        answer(clientSocket, HttpRoutes::forbiddenAnswer());
        return;
    }
    const HttpRoutes::Route route = HttpRoutes::route(head.requestLine);
    const HttpRoutes::HostVerdict host =
        HttpRoutes::checkHost(head, route, isFromThisMachine(clientSocket));
    if (host != HttpRoutes::HostVerdict::Allowed) {
        QByteArrayList hosts;
        for (const auto &field : head.headers) {
            if (field.first.compare("Host", Qt::CaseInsensitive) == 0)
                hosts.append(field.second);
        }
        qDebug() << "Refused HTTP request: Host" << hosts.join(", ");
        answer(clientSocket,
               host == HttpRoutes::HostVerdict::Missing
                   ? HttpRoutes::badRequestAnswer(QStringLiteral("Host header required"))
                   : HttpRoutes::forbiddenAnswer());
        return;
    }

    switch (route) {
    case HttpRoutes::Route::Index:
        answer(clientSocket, HttpRoutes::indexAnswer());
        break;
    case HttpRoutes::Route::Config:
        // The configuration holds the upstream passwords in clear: for the core, started by
        // this user, and nobody else on the machine.
        if (!HttpRoutes::isLoopbackPeer(clientSocket->peerAddress()) ||
            !HttpRoutes::isLoopbackHost(head.header("Host"))) {
            answer(clientSocket, HttpRoutes::forbiddenAnswer());
            break;
        }
        if (!isSameUser(clientSocket)) {
            qDebug() << "Refused HTTP request: the configuration was asked for by another user";
            answer(clientSocket, HttpRoutes::forbiddenAnswer());
            break;
        }
        answer(clientSocket, HttpRoutes::configAnswer(configBody(CoreApi::apiPortOf(head.target))));
        break;
    case HttpRoutes::Route::GetIp: {
        // Only the index page fetches a proxy for a caller: without it the port would never
        // open.
        const LocalApiState state = LocalApiState(apiState.load());
        if (state != LocalApiState::Open) {
            const QString reason =
                state == LocalApiState::SignedOut
                    ? QStringLiteral("not signed in")
                    : QStringLiteral("the client is loading its page, try again");
            qDebug() << "Refused HTTP request:" << reason;
            answer(clientSocket, HttpRoutes::serviceUnavailableAnswer(reason));
            break;
        }
        HttpRoutes::ApiRequest request = HttpRoutes::apiRequest(QString::fromUtf8(head.target));
        if (!request.error.isEmpty()) {
            answer(clientSocket, HttpRoutes::badRequestAnswer(request.error));
            break;
        }
        const QSet<quint16> own = ownPorts();
        if (request.choosePort)
            request.params.insert(QStringLiteral("proxy"),
                                  ProxyEntries::choosePort(own, CommconUtils::getUnusedPort));
        const quint16 port = request.params.value(QStringLiteral("proxy")).toInt();
        if (port == 0) {
            qDebug() << "Refused HTTP request: no free local port";
            answer(clientSocket,
                   HttpRoutes::serviceUnavailableAnswer(QStringLiteral("no free local port")));
            break;
        }
        // The start would be refused; the caller learns it now instead of from a dead port.
        if (!request.choosePort && !own.contains(port) && !CommconUtils::isPortFree(port)) {
            qDebug() << "Refused HTTP request: local port" << port
                     << "is in use by another program";
            answer(clientSocket,
                   HttpRoutes::conflictAnswer(
                       QStringLiteral("local port %1 is in use by another program").arg(port)));
            break;
        }
        if (request.wait)
            awaitStart(clientSocket, port);
        emit sigIshttpProxy(request.params);
        if (!request.wait)
            answer(clientSocket, HttpRoutes::portAnswer(port));
        break;
    }
    case HttpRoutes::Route::NotFound:
        answer(clientSocket, HttpRoutes::notFoundAnswer());
        break;
    }
}

void HttpService::answer(QTcpSocket *socket, const QByteArray &bytes)
{
    // A client that stops reading would keep the socket and its unsent answer for ever, so
    // the connection is dropped once writing has made no progress for a while.
    auto *writeTimer = new QTimer(socket);
    writeTimer->setSingleShot(true);
    writeTimer->setTimerType(Qt::PreciseTimer);
    connect(writeTimer, &QTimer::timeout, socket, [socket] {
#ifdef Q_OS_UNIX
        // A reset, not a plain close: the answer carries no length, so a client that reads
        // on later must not take what the system still holds for a complete answer.
        const linger reset{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
#endif
        socket->abort();
        socket->deleteLater();
    });
    connect(socket, &QTcpSocket::bytesWritten, writeTimer, [writeTimer] { writeTimer->start(); });
    writeTimer->start(writeTimeoutMs);
    // disconnectFromHost closes once the written bytes have gone out, without waiting here.
    socket->write(bytes);
    socket->disconnectFromHost();
}

// The answer comes when the start of that port ends, or when the caller has waited too long:
// the account service may never answer the page.
void HttpService::awaitStart(QTcpSocket *socket, quint16 port)
{
    waiting.insert(port, socket);
    connect(socket, &QObject::destroyed, this,
            [this, socket, port] { waiting.remove(port, socket); });
    auto *limit = new QTimer(socket);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this, [this, socket, port] {
        waiting.remove(port, socket);
        answer(socket, HttpRoutes::gatewayTimeoutAnswer(
                           QStringLiteral("local port %1 did not start in time").arg(port)));
    });
    limit->start(startWaitTimeoutMs);
}

void HttpService::settleStart(quint16 port, bool ok, const QString &reason)
{
    const QList<QTcpSocket *> sockets = waiting.values(port);
    waiting.remove(port);
    for (QTcpSocket *socket : sockets) {
        for (QTimer *limit : socket->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
            limit->stop();
        answer(socket,
               ok ? HttpRoutes::portAnswer(port)
                  : HttpRoutes::badGatewayAnswer(
                        QStringLiteral("local port %1 could not start: %2").arg(port).arg(reason)));
    }
}

QByteArray HttpService::configBody(quint16 apiPort)
{
    bool ok = false;
    const QByteArray plain = store->readPlain(&ok);
    if (!ok)
        return ProxyEntries::templateText();
    if (apiPort == 0)
        return plain;
    // A document that does not parse goes to the core as it is, which then reports why.
    const QJsonDocument document = QJsonDocument::fromJson(plain);
    if (!document.isObject())
        return plain;
    return QJsonDocument(CoreApi::withApi(document.object(), apiPort)).toJson();
}

bool HttpService::isFromThisMachine(const QTcpSocket *socket)
{
    // A connection from this machine to one of its own addresses comes from that address.
    const QHostAddress peer = socket->peerAddress();
    return HttpRoutes::isLoopbackPeer(peer) ||
           (!HttpRoutes::isUnspecifiedAddress(peer) &&
            peer.isEqual(socket->localAddress(), QHostAddress::ConvertV4MappedToIPv4));
}

bool HttpService::isSameUser(const QTcpSocket *socket)
{
#ifdef Q_OS_UNIX
    const qint64 uid = ProcNetTcp::peerUid(socket->peerAddress(), socket->peerPort(),
                                           socket->localAddress(), socket->localPort());
    return uid >= 0 && uid == qint64(geteuid());
#else
    Q_UNUSED(socket);
    return true;
#endif
}

QSet<quint16> HttpService::ownPorts()
{
    const QJsonDocument document = QJsonDocument::fromJson(store->readPlain());
    return ProxyEntries::usedPorts(document.isObject() ? document.object() : QJsonObject());
}
