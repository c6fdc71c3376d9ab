#pragma once

#include "gatewayconnection.h"
#include "proxycredentials.h"

#include <QAbstractSocket>
#include <QObject>

class QTcpSocket;

// One client of the gateway from its first byte until its relay starts or it is refused.
// Subclasses read their protocol's handshake from m_buffer and answer it; this class owns the
// client socket, connects to the target and hands both to a TcpRelay.
class ProxySession : public QObject
{
    Q_OBJECT

public:
    ProxySession(QTcpSocket *client, AccountCheck isAccount, QObject *parent);

signals:
    void accepted(const GatewayConnection &connection);

protected:
    // Called each time the client sent more of its handshake; consumes what it can.
    virtual void readHandshake() = 0;
    virtual void targetConnected() = 0;
    virtual void targetFailed(QAbstractSocket::SocketError error, const QString &message) = 0;

    bool isAccount(const QString &user, const QString &basePassword) const;
    // Records the connection as accepted and starts connecting to its target.
    void connectToTarget(const GatewayConnection &connection);
    // Sends the final handshake bytes both ways and leaves the rest to a TcpRelay.
    void startRelay(const QByteArray &toClient, const QByteArray &toTarget);
    void replyAndClose(const QByteArray &reply);

    QTcpSocket *m_client;
    QTcpSocket *m_target = nullptr;
    QByteArray m_buffer; // handshake bytes received and not yet consumed

private:
    void onReadyRead();
    void onTargetError(QAbstractSocket::SocketError error);
    void dropTarget();

    AccountCheck m_isAccount;
    enum class Stage { Handshake, Connecting, Closing } m_stage = Stage::Handshake;
};
