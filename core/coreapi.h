#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// The core's gRPC API, through which a running core gives up the port of an inbound without
// being restarted: connections already relayed through it go on. The API listens on a
// loopback port of its own, chosen by whoever starts the core and named in the address the
// core fetches its configuration from.
namespace CoreApi {

// A RemoveInboundRequest: field 1, the tag.
QByteArray removeInboundMessage(const QString &tag);
// A gRPC message on the wire: uncompressed, its length as 4 bytes big-endian, the message.
QByteArray grpcFrame(const QByteArray &message);

// The document with the API section, the API's inbound on 127.0.0.1:apiPort (last) and the
// rule that routes it (first). The input is not changed.
QJsonObject withApi(const QJsonObject &root, quint16 apiPort);
// The "api" query item of a request target; 0 when absent, given twice, or not a port number.
quint16 apiPortOf(const QByteArray &target);
// Where the core fetches its configuration, with the API on apiPort; without one for 0.
QString configUrl(quint16 apiPort);

// What a client sends to remove the inbounds of these tags: the HTTP/2 connection preface,
// its settings, and one call per tag on streams 1, 3, 5 and so on.
QByteArray removeInboundsRequest(quint16 apiPort, const QStringList &tags);

// Reads the core's HTTP/2 answer frame by frame, as far as the calls need: which streams
// have ended and whether each succeeded.
class ResponseReader
{
public:
    // Takes more bytes; the number of streams that have ended so far.
    int feed(const QByteArray &bytes);
    // What the protocol asks the client to send back (settings acknowledged).
    QByteArray takeReply();
    // Why the whole connection failed; empty while it has not.
    QString error() const { return m_error; }
    bool succeeded(quint32 stream) const;

private:
    QByteArray m_buffer;
    QByteArray m_reply;
    QString m_error;
    QHash<quint32, bool> m_status; // status 200 in the stream's first headers
    QSet<quint32> m_answered;      // a response message came
    QSet<quint32> m_ended;
};

} // namespace CoreApi

class CoreApiClient : public QObject
{
    Q_OBJECT

public:
    explicit CoreApiClient(QObject *parent = nullptr);

    // Asks the core whose API listens on 127.0.0.1:apiPort to remove the inbounds of these
    // tags, all at once. done runs once, with true only when every call was answered with
    // success within timeoutMs in all: before this returns when the core answers at once,
    // else from the event loop; it does not run once the client is gone. A failure does not
    // say which inbounds remain: only their ports can tell.
    void removeInbounds(quint16 apiPort, const QStringList &tags, int timeoutMs,
                        std::function<void(bool ok)> done);
};
