#pragma once

#include "accountapi.h"
#include "accountfixture.h"
#include "accountrequest.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// Stands in for the service's account API over HTTP/1.1: the login, the account's plan and
// traffic, the proxy list and locations, proxy descriptions that point at the stand-in
// gateway, the version document and the geolocation answer, all from a fixture. One request
// per connection; every request is recorded, so that a test can check what a page sent.
// Everything runs on the event loop of the thread that owns it.
class AccountService : public QObject
{
    Q_OBJECT

public:
    explicit AccountService(AccountFixture fixture, QObject *parent = nullptr);

    // Where get_data and rotatingIP send the client; until it is set they answer a failure.
    void setGateway(const QString &host, quint16 httpPort);

    // Port 0 picks a free port, which port() then tells. On failure errorString() says why.
    bool listen(const QHostAddress &address, quint16 port = 0);
    quint16 port() const;
    QString errorString() const;
    // "http://ADDRESS:PORT", the base URL the pages are given.
    QString url() const;

    const AccountFixture &fixture() const;
    // Every request read whole so far, oldest first, however it was answered. Requests too
    // malformed to read are answered 400 and not recorded.
    QList<AccountRequest> requests() const;
    void clearRequests();

signals:
    void requestReceived(const AccountRequest &request);

private:
    struct Client
    {
        QByteArray buffer;
        bool continued = false; // "100 Continue" sent
    };

    void acceptClients();
    void readClient(QTcpSocket *socket);
    void reply(QTcpSocket *socket, const AccountApi::Reply &reply);

    QTcpServer *m_server;
    AccountApi m_api;
    QHash<QTcpSocket *, Client> m_clients; // those not answered yet
    QList<AccountRequest> m_requests;
    QString m_errorString;
};
