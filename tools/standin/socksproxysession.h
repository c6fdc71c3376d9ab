#pragma once

#include "proxysession.h"

// A client of the gateway's SOCKS5 port: username/password login, then CONNECT.
class SocksProxySession : public ProxySession
{
    Q_OBJECT

public:
    using ProxySession::ProxySession;

protected:
    void readHandshake() override;
    void targetConnected() override;
    void targetFailed(QAbstractSocket::SocketError error, const QString &message) override;

private:
    // Each returns whether it consumed a whole message and the next one may follow.
    bool readGreeting();
    bool readLogin();
    bool readRequest();
    void refuse(const QByteArray &reply, const QString &reason);

    enum class Stage { Greeting, Login, Request } m_stage = Stage::Greeting;
    QString m_user;
    ProxyCredentials m_credentials;
};
