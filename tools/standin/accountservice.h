#pragma once

#include "accountapi.h"
#include "accountfixture.h"
#include "accountrequest.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>

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

    // Fault switch for the pages' tests: a request that `matches` accepts (never a CORS
    // preflight) is recorded but left unanswered until releaseHeld(); an empty function
    // holds nothing more.
    void holdAnswers(std::function<bool(const AccountRequest &)> matches);
    enum class Release {
        Answer, // as if it had not been held
        Refuse, // {"code": "0", "message": ...}
        Cut,    // the connection closes without an answer
    };
    // Ends every held request that way; returns how many there were.
    int releaseHeld(Release how = Release::Answer);
    int heldCount() const;

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
    std::function<bool(const AccountRequest &)> m_hold;
    QList<QPair<QPointer<QTcpSocket>, AccountRequest>> m_held;
    QString m_errorString;
};
