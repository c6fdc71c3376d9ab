#pragma once

#include <QJsonObject>
#include <QSet>
#include <QString>

#include <functional>

// The entry triples of the core configuration: per local port P one SOCKS inbound
// "socks_P", one outbound "proxy_P" to the remote proxy, and one routing rule joining them.
// Pure functions on the parsed document; the file handling lives in ConfigStore.
namespace ProxyEntries {

QByteArray templateText();
QString inboundTag(int port);
QString outboundTag(int port);

// Characters from [a-zA-Z0-9], from the system's secure generator: sticky-session ids must
// not repeat between two sessions started at the same moment.
QString randomString(int length);

// "local_port" of a start request. A present value that is not a whole number from 1 to
// 65535 is an error: the core would refuse a whole configuration holding port 0.
struct LocalPort
{
    bool present = false;
    quint16 port = 0;
    QString error;
};
LocalPort localPort(const QJsonObject &request);

// The server object of the outbound. The core refuses every port of a configuration in
// which one server lacks a string "address" or has a non-numeric "port", so such a request
// is refused here; a port given as decimal text is written as a number.
struct Server
{
    QJsonObject object;
    QString error;
};
Server server(const QJsonObject &request, const std::function<QString()> &sessionId);

QString composePassword(const QJsonObject &request, const std::function<QString()> &sessionId);

QJsonObject inbound(int port);
QJsonObject rule(int port);
QJsonObject outbound(int port, const QJsonObject &server, const QJsonObject &request);

bool hasEntry(const QJsonObject &root, int port);
void appendEntry(QJsonObject &root, int port, const QJsonObject &server,
                 const QJsonObject &request);
// Replaces the server (and the protocol, for a known type) of port's outbound, keeping its
// tag and "sid". False when no outbound carries the port's tag.
bool rewriteEntry(QJsonObject &root, int port, const QJsonObject &server,
                  const QJsonObject &request);
void removeEntry(QJsonObject &root, int port);

// Every local port the document already uses, by inbound port and by tag.
QSet<quint16> usedPorts(const QJsonObject &root);

// A port the system reports free that no entry uses: while the core is down, the ports of
// the document's own entries look free too. 0 when none is found.
quint16 choosePort(const QSet<quint16> &used, const std::function<quint16()> &unusedPort);

} // namespace ProxyEntries
