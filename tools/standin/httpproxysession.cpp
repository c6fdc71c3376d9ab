#include "httpproxysession.h"
#include "httphead.h"

#include <QDebug>
#include <QTcpSocket>

void HttpProxySession::readHandshake()
{
    const HttpHead::ParseResult head = HttpHead::parse(m_buffer);
    if (head.status == HttpHead::Status::Incomplete)
        return;
    if (head.status == HttpHead::Status::Bad) {
        refuse(400, "Bad Request", head.error);
        return;
    }

    const HttpHead::Request &request = head.request;
    const auto login = HttpHead::basicCredentials(request.field("Proxy-Authorization"));
    const ProxyCredentials credentials =
        ProxyCredentials::fromPassword(login ? login->password : QString());
    if (!login || !isAccount(login->user, credentials.basePassword)) {
        const QString why = login ? QStringLiteral("wrong user name or password")
                            : request.field("Proxy-Authorization").isEmpty()
                                ? QStringLiteral("proxy credentials required")
                                : QStringLiteral("Proxy-Authorization is not Basic user:password");
        refuse(407, "Proxy Authentication Required", why,
               "Proxy-Authenticate: Basic realm=\"Vexalo gateway\"\r\n");
        return;
    }

    m_tunnel = request.method == "CONNECT";
    const auto target = m_tunnel ? HttpHead::authorityTarget(request.target)
                                 : HttpHead::absoluteTarget(request.target);
    if (!target) {
        refuse(400, "Bad Request",
               m_tunnel ? QStringLiteral("CONNECT needs a host:port target")
                        : QStringLiteral("a proxy request needs an absolute http:// URL"));
        return;
    }
    m_toTarget = m_tunnel ? QByteArray() : HttpHead::originRequest(request, *target);
    m_toTarget += m_buffer.mid(head.consumed);
    m_buffer.clear();
    connectToTarget({QStringLiteral("http"), login->user, credentials.basePassword,
                     credentials.country, credentials.session, target->host, target->port});
}

void HttpProxySession::targetConnected()
{
    startRelay(m_tunnel ? QByteArray("HTTP/1.1 200 Connection established\r\n\r\n") : QByteArray(),
               m_toTarget);
}

void HttpProxySession::targetFailed(QAbstractSocket::SocketError error, const QString &message)
{
    if (error == QAbstractSocket::SocketTimeoutError)
        refuse(504, "Gateway Timeout", QStringLiteral("target did not answer: ") + message);
    else
        refuse(502, "Bad Gateway", QStringLiteral("cannot reach the target: ") + message);
}

void HttpProxySession::refuse(int code, const QByteArray &reason, const QString &message,
                              const QByteArray &extraFields)
{
    qDebug() << "Gateway refused http client" << code << message;
    replyAndClose(HttpHead::errorResponse(code, reason, message, extraFields));
}
