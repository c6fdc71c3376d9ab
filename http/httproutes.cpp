#include "httproutes.h"

#include <QDebug>
#include <QHostAddress>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <cctype>

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

namespace {

bool allDigits(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isDottedQuad(const QByteArray &text)
{
    const QList<QByteArray> parts = text.split('.');
    if (parts.size() != 4)
        return false;
    for (const QByteArray &part : parts) {
        if (part.isEmpty() || part.size() > 3 || !allDigits(part) || part.toInt() > 255)
            return false;
    }
    return true;
}

bool isPortSuffix(const QByteArray &suffix)
{
    if (suffix.isEmpty())
        return true;
    const QByteArray digits = suffix.mid(1);
    return suffix.startsWith(':') && !digits.isEmpty() && digits.size() <= 5 && allDigits(digits) &&
           digits.toInt() <= 65535;
}

} // namespace

QString literalHost(const QByteArray &host)
{
    if (host.startsWith('[')) {
        const int close = host.indexOf(']');
        if (close < 0 || !isPortSuffix(host.mid(close + 1)))
            return QString();
        const QByteArray inner = host.mid(1, close - 1);
        // Hex digits, colons and an embedded IPv4 only: QHostAddress would also take a zone.
        const bool plain = std::all_of(inner.cbegin(), inner.cend(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        });
        QHostAddress address;
        if (!plain || !address.setAddress(QString::fromLatin1(inner)) ||
            address.protocol() != QAbstractSocket::IPv6Protocol)
            return QString();
        return QString::fromLatin1(inner).toLower();
    }
    const int colon = host.indexOf(':');
    const QByteArray name = colon < 0 ? host : host.left(colon);
    if (colon >= 0 && !isPortSuffix(host.mid(colon)))
        return QString();
    if (name.compare("localhost", Qt::CaseInsensitive) == 0)
        return QStringLiteral("localhost");
    return isDottedQuad(name) ? QString::fromLatin1(name) : QString();
}

bool hasLiteralHost(const HttpRequestHead &head)
{
    QByteArray first;
    bool seen = false;
    for (const auto &field : head.headers) {
        if (field.first.compare("Host", Qt::CaseInsensitive) != 0)
            continue;
        if (literalHost(field.second).isNull())
            return false;
        if (seen && field.second.compare(first, Qt::CaseInsensitive) != 0)
            return false;
        first = field.second;
        seen = true;
    }
    return seen;
}

bool isLoopbackHost(const QByteArray &host)
{
    const QString name = literalHost(host);
    if (name == QLatin1String("localhost"))
        return true;
    QHostAddress address;
    return !name.isNull() && address.setAddress(name) && isLoopbackPeer(address);
}

bool isUnspecifiedAddress(const QHostAddress &address)
{
    if (address.isNull())
        return true;
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return (ipv4 >> 24) == 0;
    return address.isEqual(QHostAddress::AnyIPv6, QHostAddress::StrictConversion);
}

bool isUnspecifiedHost(const QByteArray &host)
{
    const QString name = literalHost(host);
    QHostAddress address;
    return !name.isNull() && address.setAddress(name) && isUnspecifiedAddress(address);
}

QByteArray httpVersion(const QByteArray &requestLine)
{
    const QByteArray line = requestLine.trimmed();
    const int space = line.lastIndexOf(' ');
    return space < 0 ? QByteArray() : line.mid(space + 1);
}

HostVerdict checkHost(const HttpRequestHead &head, Route route, bool fromThisMachine)
{
    if (!head.hasHeader("Host")) {
        if (httpVersion(head.requestLine) != "HTTP/1.0")
            return HostVerdict::Missing;
        return route == Route::Config ? HostVerdict::Forbidden : HostVerdict::Allowed;
    }
    const QByteArray host = head.header("Host");
    if (!hasLiteralHost(head) || isUnspecifiedHost(host))
        return HostVerdict::Forbidden;
    if (fromThisMachine && !isLoopbackHost(host))
        return HostVerdict::Forbidden;
    return HostVerdict::Allowed;
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

    request.wait = request.params.value(QLatin1String("wait")).toString() == QLatin1String("1");
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

QByteArray conflictAnswer(const QString &reason)
{
    return "HTTP/1.1 409 Conflict\r\nContent-Type: text/plain\r\n\r\n" + reason.toUtf8() + "\n";
}

QByteArray serviceUnavailableAnswer(const QString &reason)
{
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n" +
           reason.toUtf8() + "\n";
}

QByteArray badGatewayAnswer(const QString &reason)
{
    return "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\n\r\n" + reason.toUtf8() + "\n";
}

QByteArray gatewayTimeoutAnswer(const QString &reason)
{
    return "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: text/plain\r\n\r\n" + reason.toUtf8() +
           "\n";
}

QByteArray maskedForLog(const QByteArray &head)
{
    QList<QByteArray> lines = head.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        if (name != "authorization" && name != "proxy-authorization" && name != "cookie")
            continue;
        const bool crlf = lines[i].endsWith('\r');
        lines[i] = lines[i].left(colon + 1) + " ***" + (crlf ? "\r" : "");
    }
    return lines.join('\n');
}

} // namespace HttpRoutes
