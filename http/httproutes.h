#pragma once

#include "http/httprequest.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// What the local HTTP service answers, as pure functions of the request.
namespace HttpRoutes {

enum class Route { Index, Config, GetIp, NotFound };

// The first route whose text occurs in a GET request line; anything else is not found.
Route route(const QByteArray &requestLine);

// Loopback peers: 127.0.0.0/8, ::1 and IPv4-mapped loopback.
bool isLoopbackPeer(const QHostAddress &peer);
// The host of a Host value that is an IP address literal (IPv4, or IPv6 in brackets) or
// localhost, with or without a port: the address without brackets, or "localhost". A null
// string for anything else, a DNS name above all.
QString literalHost(const QByteArray &host);
// Whether the request names this service by address or as localhost, in one Host value or
// in several that agree. A web page that points its own DNS name at this machine sends that
// name, so no route may answer it.
bool hasLiteralHost(const HttpRequestHead &head);
// A Host header naming localhost or a loopback address, with or without a port.
bool isLoopbackHost(const QByteArray &host);
// 0.0.0.0/8, :: and their IPv4-mapped forms: no peer, and no Host a request should name.
bool isUnspecifiedAddress(const QHostAddress &address);
// A Host naming such an address, however it is written.
bool isUnspecifiedHost(const QByteArray &host);
// The version word at the end of the request line ("HTTP/1.1").
QByteArray httpVersion(const QByteArray &requestLine);

// What the Host rules make of a request to `route`; `fromThisMachine` says that the peer is
// an address of this machine, whose requests must name loopback: a browser here that
// reaches the service through the machine's LAN address sends no Origin on a plain GET.
// HTTP/1.1 requires a Host; a bare HTTP/1.0 request comes from no browser, so the simplest
// callers are served, except on the configuration route.
enum class HostVerdict { Allowed, Forbidden, Missing };
HostVerdict checkHost(const HttpRequestHead &head, Route route, bool fromThisMachine);

// A request a browser marks as sent by a web page of another site.
bool isCrossSite(const HttpRequestHead &head);

QList<QPair<QString, QString>> parseQueryParams(const QString &target);

// The query of an API request. "proxy" becomes a number; absent or empty, the caller picks
// a port. A "proxy" that is not a port number is an error.
struct ApiRequest
{
    QJsonObject params;
    bool choosePort = false;
    // The caller waits for the port to relay ("wait=1") instead of being answered at once.
    bool wait = false;
    QString error;
};
ApiRequest apiRequest(const QString &target);

QByteArray indexAnswer();
QByteArray configAnswer(const QByteArray &json);
QByteArray portAnswer(quint16 port);
QByteArray notFoundAnswer();
QByteArray forbiddenAnswer();
QByteArray badRequestAnswer(const QString &reason);
QByteArray conflictAnswer(const QString &reason);
QByteArray serviceUnavailableAnswer(const QString &reason);
QByteArray badGatewayAnswer(const QString &reason);
QByteArray gatewayTimeoutAnswer(const QString &reason);

// The request head as it may be logged: credentials a client sends along (Authorization,
// Proxy-Authorization, Cookie) are replaced by "***".
QByteArray maskedForLog(const QByteArray &head);

} // namespace HttpRoutes
