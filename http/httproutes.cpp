#include "httproutes.h"

#include <QDebug>
#include <QUrl>
#include <QUrlQuery>

namespace HttpRoutes {

Route route(const QByteArray &requestLine)
{
    if (!requestLine.startsWith("GET"))
        return Route::NotFound;
    if (requestLine.contains("/index"))
        return Route::Index;
    if (requestLine.contains("/xray_config.json"))
        return Route::Config;
    if (requestLine.contains("/api/get_ip"))
        return Route::GetIp;
    return Route::NotFound;
}

bool isLoopbackPeer(const QHostAddress &peer)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    if (isIPv4)
        return (ipv4 >> 24) == 127;
    return peer.isLoopback();
}

bool isLoopbackHost(const QByteArray &host)
{
    QString name = QString::fromLatin1(host.trimmed()).toLower();
    if (name.startsWith(QLatin1Char('['))) {
        const int close = name.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        name = name.mid(1, close - 1);
    } else if (name.count(QLatin1Char(':')) == 1) {
        name = name.section(QLatin1Char(':'), 0, 0);
    }
    if (name == QLatin1String("localhost"))
        return true;
    QHostAddress address;
    return address.setAddress(name) && isLoopbackPeer(address);
}

bool isCrossSite(const HttpRequestHead &head)
{
    if (head.hasHeader("Origin"))
        return true;
    if (!head.hasHeader("Sec-Fetch-Site"))
        return false;
    const QByteArray site = head.header("Sec-Fetch-Site").toLower();
    return site != "none" && site != "same-origin";
}

QList<QPair<QString, QString>> parseQueryParams(const QString &target)
{
    const QUrl url(target, QUrl::TolerantMode);
    if (!url.isValid()) {
        qDebug() << "Invalid URL";
        return {};
    }
    return QUrlQuery(url).queryItems();
}

ApiRequest apiRequest(const QString &target)
{
    ApiRequest request;
    const auto items = parseQueryParams(target);
    for (const auto &item : items) {
        qDebug() << "Parameter: " << item.first << " = " << item.second;
        request.params.insert(item.first, item.second);
    }

    const QString proxy = request.params.value(QLatin1String("proxy")).toString();
    if (proxy.isEmpty()) {
        request.choosePort = true;
        return request;
    }
    bool ok = false;
    const uint port = proxy.toUInt(&ok, 10);
    const bool digitsOnly =
        std::all_of(proxy.cbegin(), proxy.cend(), [](QChar c) { return c.isDigit(); });
    if (!ok || !digitsOnly || port < 1 || port > 65535) {
        request.error = QStringLiteral("proxy must be a port number from 1 to 65535");
        return request;
    }
    request.params.insert(QLatin1String("proxy"), static_cast<int>(port));
    return request;
}

QByteArray indexAnswer()
{
    return QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
                             "<html><body><h1>Hello, Index!</h1></body></html>");
}

QByteArray configAnswer(const QByteArray &json)
{
    return QStringLiteral("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n%1")
        .arg(QString::fromUtf8(json))
        .toUtf8();
}

QByteArray portAnswer(quint16 port)
{
    return QStringLiteral("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n127.0.0.1:%1")
        .arg(port)
        .toUtf8();
}

QByteArray notFoundAnswer()
{
    return QByteArrayLiteral(
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\n404 Not Found");
}

QByteArray forbiddenAnswer()
{
    return QByteArrayLiteral(
        "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n403 Forbidden");
}

QByteArray badRequestAnswer(const QString &reason)
{
    return "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n" + reason.toUtf8() + "\n";
}

} // namespace HttpRoutes
