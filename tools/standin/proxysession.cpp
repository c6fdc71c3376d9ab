#include "proxysession.h"
#include "tcprelay.h"

#include <QTcpSocket>

namespace {

// Bounds what a client can make the gateway hold while its target is still being reached.
constexpr qint64 ReadBufferSize = 64 * 1024;

} // namespace

ProxySession::ProxySession(QTcpSocket *client, AccountCheck isAccount, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_isAccount(std::move(isAccount))
{
    client->setParent(this);
    client->setReadBufferSize(ReadBufferSize);
    connect(client, &QTcpSocket::readyRead, this, &ProxySession::onReadyRead);
    connect(client, &QTcpSocket::disconnected, this, [this] {
        dropTarget();
        m_stage = Stage::Closing;
        deleteLater();
    });
}

bool ProxySession::isAccount(const QString &user, const QString &basePassword) const
{
    return m_isAccount(user, basePassword);
}

void ProxySession::onReadyRead()
{
    switch (m_stage) {
    case Stage::Handshake:
        m_buffer += m_client->readAll();
        readHandshake();
        break;
    case Stage::Connecting:
        break; // what follows the handshake waits in the socket for the relay
    case Stage::Closing:
        // Unread bytes at close would make the kernel reset the connection, which can
        // discard the answer the client has not read yet.
        m_client->readAll();
        break;
    }
}

void ProxySession::connectToTarget(const GatewayConnection &connection)
{
    m_stage = Stage::Connecting;
    emit accepted(connection);
    m_target = new QTcpSocket(this);
    connect(m_target, &QTcpSocket::connected, this, [this] {
        if (m_stage == Stage::Connecting)
            targetConnected();
    });
    connect(m_target, &QTcpSocket::errorOccurred, this, &ProxySession::onTargetError);
    m_target->connectToHost(connection.targetHost, connection.targetPort);
}

void ProxySession::onTargetError(QAbstractSocket::SocketError error)
{
    if (m_stage != Stage::Connecting)
        return;
    const QString message = m_target->errorString();
    dropTarget();
    targetFailed(error, message);
}

void ProxySession::dropTarget()
{
    if (!m_target)
        return;
    m_target->disconnect(this);
    m_target->abort();
    m_target->deleteLater();
    m_target = nullptr;
}

void ProxySession::startRelay(const QByteArray &toClient, const QByteArray &toTarget)
{
    m_client->disconnect(this);
    m_target->disconnect(this);
    m_client->write(toClient);
    m_target->write(toTarget);
    new TcpRelay(m_client, m_target, parent());
    m_client = nullptr;
    m_target = nullptr;
    m_stage = Stage::Closing;
    deleteLater();
}

void ProxySession::replyAndClose(const QByteArray &reply)
{
    m_stage = Stage::Closing;
    dropTarget();
    m_client->write(reply);
    // Once the reply is flushed the socket reports disconnected, which deletes the session.
    m_client->disconnectFromHost();
}
