#pragma once

#include "proxysession.h"

// A client of the gateway's HTTP proxy port: CONNECT tunnels and absolute-form requests,
// authenticated with Proxy-Authorization Basic.
class HttpProxySession : public ProxySession
{
    Q_OBJECT

public:
    using ProxySession::ProxySession;

protected:
    void readHandshake() override;
    void targetConnected() override;
    void targetFailed(QAbstractSocket::SocketError error, const QString &message) override;

private:
    void refuse(int code, const QByteArray &reason, const QString &message,
                const QByteArray &extraFields = QByteArray());

    bool m_tunnel = false;
    QByteArray m_toTarget; // the rewritten request head, or what followed CONNECT early
};
