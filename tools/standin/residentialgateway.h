#pragma once

#include "gatewayconnection.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;

// Stands in for the service's residential gateway: an HTTP proxy and a SOCKS5 proxy that
// take the accounts' user names with composed passwords (base password, then optional
// "_country-XX" and "_session-XXXXXXXX"), record what each client asked for, and relay it
// to the requested target. Everything runs on the event loop of the thread that owns it.
class ResidentialGateway : public QObject
{
    Q_OBJECT

public:
    explicit ResidentialGateway(QObject *parent = nullptr);

    // Adding a user again replaces its base password.
    void addAccount(const QString &user, const QString &basePassword);

    // Port 0 picks a free port, which httpPort() or socksPort() then tell. On failure
    // errorString() says why.
    bool listenHttp(const QHostAddress &address, quint16 port = 0);
    bool listenSocks(const QHostAddress &address, quint16 port = 0);
    quint16 httpPort() const;
    quint16 socksPort() const;
    QString errorString() const;

    // Every connection let through so far, oldest first, whether or not its target answered.
    QList<GatewayConnection> connections() const;

signals:
    void connectionAccepted(const GatewayConnection &connection);

private:
    enum class Protocol { Http, Socks };

    bool listen(QTcpServer *server, const QHostAddress &address, quint16 port,
                const QString &clients);
    void acceptClients(QTcpServer *server, Protocol protocol);
    void record(const GatewayConnection &connection);

    QTcpServer *m_httpServer;
    QTcpServer *m_socksServer;
    QHash<QString, QString> m_accounts;
    QList<GatewayConnection> m_connections;
    QString m_errorString;
};
