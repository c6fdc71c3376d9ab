#pragma once

#include "accountfixture.h"
#include "accountrequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>

// The account service's answers, decided from a decoded request and the fixture alone, so
// that the routes can be reasoned about without sockets. Success is {"code": "1", "result":
// ...}, failure {"code": "0", "message": ...}; the pages read only those.
class AccountApi
{
public:
    struct Reply
    {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> fields; // besides the ones every answer has

        // The whole response: status line, CORS and length fields, "Connection: close".
        QByteArray toBytes() const;
    };

    explicit AccountApi(AccountFixture fixture);

    // The residential gateway that proxy descriptions point at; until it is set they fail.
    void setGateway(const QString &host, quint16 httpPort);
    const AccountFixture &fixture() const;

    Reply answer(const AccountRequest &request);
    static Reply failure(int status, const QString &message);

private:
    using Account = AccountFixture::Account;

    // Each route's handler; account is the authenticated one on /v1/ paths, else nullptr.
    using Handler = Reply (AccountApi::*)(const AccountRequest &request, const Account *account);
    struct Route
    {
        const char *path;
        const char *method;
        Handler handler;
    };
    static const Route routes[];

    Reply login(const AccountRequest &request, const Account *);
    Reply version(const AccountRequest &, const Account *);
    Reply geolocation(const AccountRequest &, const Account *);
    Reply getData(const AccountRequest &, const Account *account);
    Reply ipList(const AccountRequest &request, const Account *);
    Reply querySubUser(const AccountRequest &, const Account *account);
    Reply queryViewTxsIp(const AccountRequest &, const Account *account);
    Reply rotatingIp(const AccountRequest &, const Account *account);
    Reply getIp(const AccountRequest &request, const Account *);

    const Account *authenticate(const AccountRequest &request) const;
    QJsonValue subUser(const Account &account, bool withCredentials) const;
    QJsonObject proxyDescription();

    AccountFixture m_fixture;
    QString m_gatewayHost;
    quint16 m_gatewayPort = 0;
    int m_sessions = 0;
};
