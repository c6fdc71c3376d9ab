#include "socksproxysession.h"
#include "sockshandshake.h"

#include <QDebug>
#include <QTcpSocket>

using namespace SocksHandshake;

namespace {

QByteArray message(quint8 first, quint8 second)
{
    return QByteArray(1, char(first)) + char(second);
}

} // namespace

void SocksProxySession::readHandshake()
{
    // A client that does not wait for answers can send several messages in one segment.
    bool more = true;
    while (more) {
        switch (m_stage) {
        case Stage::Greeting:
            more = readGreeting();
            break;
        case Stage::Login:
            more = readLogin();
            break;
        case Stage::Request:
            more = readRequest();
            break;
        }
    }
}

bool SocksProxySession::readGreeting()
{
    const Greeting greeting = parseGreeting(m_buffer);
    if (greeting.status == Status::Incomplete)
        return false;
    if (greeting.status == Status::Bad) {
        refuse(QByteArray(), QStringLiteral("not a SOCKS5 greeting"));
        return false;
    }
    m_buffer.remove(0, greeting.consumed);
    if (!greeting.methods.contains(char(MethodLogin))) {
        refuse(message(Version, NoAcceptableMethod),
               QStringLiteral("client offers no username/password method"));
        return false;
    }
    m_client->write(message(Version, MethodLogin));
    m_stage = Stage::Login;
    return true;
}

bool SocksProxySession::readLogin()
{
    const Login login = parseLogin(m_buffer);
    if (login.status == Status::Incomplete)
        return false;
    const QByteArray failure = message(LoginVersion, LoginFailed);
    if (login.status == Status::Bad) {
        refuse(failure, QStringLiteral("not a username/password login"));
        return false;
    }
    m_buffer.remove(0, login.consumed);
    m_user = login.user;
    m_credentials = ProxyCredentials::fromPassword(login.password);
    if (!isAccount(m_user, m_credentials.basePassword)) {
        refuse(failure, QStringLiteral("wrong user name or password"));
        return false;
    }
    m_client->write(message(LoginVersion, LoginSucceeded));
    m_stage = Stage::Request;
    return true;
}

bool SocksProxySession::readRequest()
{
    const Request request = parseRequest(m_buffer);
    if (request.status == Status::Incomplete)
        return false;
    if (request.status == Status::Bad) {
        refuse(reply(request.failure), request.failure == AddressTypeNotSupported
                                           ? QStringLiteral("unsupported address type")
                                           : QStringLiteral("malformed request"));
        return false;
    }
    if (request.command != CommandConnect) {
        refuse(reply(CommandNotSupported),
               QStringLiteral("command %1 not supported").arg(request.command));
        return false;
    }
    m_buffer.remove(0, request.consumed);
    connectToTarget({QStringLiteral("socks5"), m_user, m_credentials.basePassword,
                     m_credentials.country, m_credentials.session, request.host, request.port});
    return false;
}

void SocksProxySession::targetConnected()
{
    startRelay(reply(Succeeded, m_target->localAddress(), m_target->localPort()), m_buffer);
}

void SocksProxySession::targetFailed(QAbstractSocket::SocketError error, const QString &message)
{
    refuse(reply(replyFor(error)), QStringLiteral("cannot reach the target: ") + message);
}

void SocksProxySession::refuse(const QByteArray &reply, const QString &reason)
{
    qDebug() << "Gateway refused socks5 client:" << reason;
    replyAndClose(reply);
}
