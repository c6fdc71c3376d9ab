#include "accountservice.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <utility>

AccountService::AccountService(AccountFixture fixture, QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_api(std::move(fixture))
{
    qRegisterMetaType<AccountRequest>();
    connect(m_server, &QTcpServer::newConnection, this, &AccountService::acceptClients);
}

void AccountService::setGateway(const QString &host, quint16 httpPort)
{
    m_api.setGateway(host, httpPort);
}

bool AccountService::listen(const QHostAddress &address, quint16 port)
{
    m_server->close();
    if (m_server->listen(address, port)) {
        m_errorString.clear();
        return true;
    }
    m_errorString = QStringLiteral("Cannot listen for account service clients on %1 port %2: %3")
                        .arg(address.toString())
                        .arg(port)
                        .arg(m_server->errorString());
    return false;
}

quint16 AccountService::port() const
{
    return m_server->serverPort();
}

QString AccountService::errorString() const
{
    return m_errorString;
}

QString AccountService::url() const
{
    QHostAddress address = m_server->serverAddress();
    if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4)
        address = QHostAddress::LocalHost;
    else if (address == QHostAddress::AnyIPv6)
        address = QHostAddress::LocalHostIPv6;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const QString host = v6 ? '[' + address.toString() + ']' : address.toString();
    return QStringLiteral("http://%1:%2").arg(host).arg(port());
}

const AccountFixture &AccountService::fixture() const
{
    return m_api.fixture();
}

QList<AccountRequest> AccountService::requests() const
{
    return m_requests;
}

void AccountService::clearRequests()
{
    m_requests.clear();
}

void AccountService::holdAnswers(std::function<bool(const AccountRequest &)> matches)
{
    m_hold = std::move(matches);
}

int AccountService::releaseHeld(Release how)
{
    const auto held = std::exchange(m_held, {});
    int released = 0;
    for (const auto &entry : held) {
        QTcpSocket *socket = entry.first;
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            continue; // the client gave up meanwhile
        ++released;
        switch (how) {
        case Release::Answer:
            reply(socket, m_api.answer(entry.second));
            break;
        case Release::Refuse:
            reply(socket, AccountApi::failure(200, QStringLiteral("refused on purpose")));
            break;
        case Release::Cut:
            socket->abort();
            break;
        }
    }
    return released;
}

int AccountService::heldCount() const
{
    return m_held.size();
}

void AccountService::acceptClients()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        m_clients.insert(socket, Client());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_clients.remove(socket);
            socket->deleteLater();
        });
    }
}

void AccountService::readClient(QTcpSocket *socket)
{
    const auto client = m_clients.find(socket);
    if (client == m_clients.end()) {
        socket->readAll(); // after the answer: one request per connection
        return;
    }
    client->buffer += socket->readAll();
    AccountRequest request;
    const AccountRequest::ParseResult parsed = AccountRequest::parse(client->buffer, &request);
    switch (parsed.status) {
    case AccountRequest::Status::Incomplete:
        if (parsed.wantsContinue && !client->continued) {
            client->continued = true;
            socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        return;
    case AccountRequest::Status::Bad:
        reply(socket, AccountApi::failure(400, parsed.error));
        return;
    case AccountRequest::Status::Ok:
        m_requests.append(request);
        if (m_hold && request.method != QLatin1String("OPTIONS") && m_hold(request)) {
            m_clients.remove(socket);
            m_held.append({socket, request});
            emit requestReceived(request);
            return;
        }
        // Answered before a test hears of it, so a slot that waits cannot hold up the page.
        reply(socket, m_api.answer(request));
        emit requestReceived(request);
        return;
    }
}

void AccountService::reply(QTcpSocket *socket, const AccountApi::Reply &reply)
{
    m_clients.remove(socket);
    socket->write(reply.toBytes());
    socket->disconnectFromHost();
}
