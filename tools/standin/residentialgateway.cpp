#include "residentialgateway.h"
#include "httpproxysession.h"
#include "socksproxysession.h"

#include <QTcpServer>
#include <QTcpSocket>

ResidentialGateway::ResidentialGateway(QObject *parent)
    : QObject(parent)
    , m_httpServer(new QTcpServer(this))
    , m_socksServer(new QTcpServer(this))
{
    qRegisterMetaType<GatewayConnection>();
    connect(m_httpServer, &QTcpServer::newConnection, this,
            [this] { acceptClients(m_httpServer, Protocol::Http); });
    connect(m_socksServer, &QTcpServer::newConnection, this,
            [this] { acceptClients(m_socksServer, Protocol::Socks); });
}

void ResidentialGateway::addAccount(const QString &user, const QString &basePassword)
{
    m_accounts.insert(user, basePassword);
}

bool ResidentialGateway::listenHttp(const QHostAddress &address, quint16 port)
{
    return listen(m_httpServer, address, port, QStringLiteral("HTTP proxy"));
}

bool ResidentialGateway::listenSocks(const QHostAddress &address, quint16 port)
{
    return listen(m_socksServer, address, port, QStringLiteral("SOCKS5"));
}

quint16 ResidentialGateway::httpPort() const
{
    return m_httpServer->serverPort();
}

quint16 ResidentialGateway::socksPort() const
{
    return m_socksServer->serverPort();
}

QString ResidentialGateway::errorString() const
{
    return m_errorString;
}

QList<GatewayConnection> ResidentialGateway::connections() const
{
    return m_connections;
}

bool ResidentialGateway::listen(QTcpServer *server, const QHostAddress &address, quint16 port,
                                const QString &clients)
{
    server->close();
    if (server->listen(address, port)) {
        m_errorString.clear();
        return true;
    }
    m_errorString = QStringLiteral("Cannot listen for %1 clients on %2 port %3: %4")
                        .arg(clients, address.toString())
                        .arg(port)
                        .arg(server->errorString());
    return false;
}

void ResidentialGateway::acceptClients(QTcpServer *server, Protocol protocol)
{
    const AccountCheck isAccount = [this](const QString &user, const QString &basePassword) {
        const auto account = m_accounts.constFind(user);
        return account != m_accounts.constEnd() && *account == basePassword;
    };
    while (QTcpSocket *client = server->nextPendingConnection()) {
        ProxySession *session = nullptr;
        if (protocol == Protocol::Http)
            session = new HttpProxySession(client, isAccount, this);
        else
            session = new SocksProxySession(client, isAccount, this);
        connect(session, &ProxySession::accepted, this, &ResidentialGateway::record);
    }
}

void ResidentialGateway::record(const GatewayConnection &connection)
{
    m_connections.append(connection);
    emit connectionAccepted(connection);
}
