#include "coreapi.h"

#include "core/configurl.h"

#include <QAbstractNetworkCache>
#include <QDebug>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <memory>

namespace CoreApi {

namespace {

const QLatin1String apiTag("api");
const QLatin1String keyInbounds("inbounds");
const QLatin1String keyRouting("routing");
const QLatin1String keyRules("rules");
const QLatin1String keyTag("tag");

QJsonObject apiInbound(quint16 port)
{
    return QJsonObject{
        {keyTag, apiTag},
        {QLatin1String("listen"), QLatin1String("127.0.0.1")},
        {QLatin1String("port"), port},
        {QLatin1String("protocol"), QLatin1String("dokodemo-door")},
        {QLatin1String("settings"),
         QJsonObject{{QLatin1String("address"), QLatin1String("127.0.0.1")}}},
    };
}

QJsonObject apiRule()
{
    return QJsonObject{
        {QLatin1String("type"), QLatin1String("field")},
        {QLatin1String("inboundTag"), QJsonArray{apiTag}},
        {QLatin1String("outboundTag"), apiTag},
    };
}

// The core takes a port as a number or as decimal text.
bool isOnPort(const QJsonObject &inbound, quint16 port)
{
    const QJsonValue value = inbound.value(QLatin1String("port"));
    return value.toInt(-1) == port || value.toString() == QString::number(port);
}

} // namespace

QByteArray removeInboundMessage(const QString &tag)
{
    const QByteArray bytes = tag.toUtf8();
    QByteArray message(1, '\x0a'); // field 1, length-delimited
    // The length as a protobuf varint: seven bits a byte, low bits first.
    quint32 length = quint32(bytes.size());
    while (length >= 0x80) {
        message.append(char((length & 0x7f) | 0x80));
        length >>= 7;
    }
    message.append(char(length));
    return message + bytes;
}

QByteArray grpcFrame(const QByteArray &message)
{
    const quint32 length = quint32(message.size());
    QByteArray frame(1, '\0');
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(char((length >> shift) & 0xff));
    return frame + message;
}

QJsonObject withApi(const QJsonObject &root, quint16 apiPort)
{
    QJsonObject result = root;
    result.insert(apiTag, QJsonObject{{keyTag, apiTag},
                                      {QLatin1String("services"),
                                       QJsonArray{QLatin1String("HandlerService")}}});

    // An inbound already on the API's port would make the core refuse the whole document,
    // and another one tagged "api" would take the API's traffic. The port was chosen for this
    // run of the core, so the API's inbound takes their place in what is served; the stored
    // document keeps them.
    QJsonArray inbounds;
    for (const QJsonValue &element : root.value(keyInbounds).toArray()) {
        const QJsonObject inbound = element.toObject();
        if (inbound.value(keyTag) != QJsonValue(apiTag) && !isOnPort(inbound, apiPort))
            inbounds.append(element);
    }
    inbounds.append(apiInbound(apiPort));
    result.insert(keyInbounds, inbounds);

    // First, so that no rule of the document matches the API's traffic before it; an API rule
    // the document already holds is not repeated.
    const QJsonObject rule = apiRule();
    QJsonObject routing = root.value(keyRouting).toObject();
    QJsonArray rules{rule};
    for (const QJsonValue &element : routing.value(keyRules).toArray()) {
        if (element.toObject() != rule)
            rules.append(element);
    }
    routing.insert(keyRules, rules);
    result.insert(keyRouting, routing);
    return result;
}

quint16 apiPortOf(const QByteArray &target)
{
    const int mark = target.indexOf('?');
    if (mark < 0)
        return 0;
    const QStringList values =
        QUrlQuery(QString::fromUtf8(target.mid(mark + 1))).allQueryItemValues(apiTag);
    if (values.size() != 1)
        return 0;
    const QString &text = values.first();
    const bool digitsOnly = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    bool ok = false;
    const uint port = text.toUInt(&ok, 10);
    return ok && digitsOnly && port >= 1 && port <= 65535 ? quint16(port) : 0;
}

QString configUrl(quint16 apiPort)
{
    if (apiPort == 0)
        return coreConfigUrl();
    return coreConfigUrl() + QStringLiteral("?api=%1").arg(apiPort);
}

} // namespace CoreApi

namespace {

// gRPC sends its status in trailers after the body. Qt reads them as a second set of headers
// and, without a cache, then tries to turn caching on, which it refuses with a critical
// message on every call. With a cache that keeps nothing, caching is on from the start.
class NoCache : public QAbstractNetworkCache
{
public:
    QNetworkCacheMetaData metaData(const QUrl &) override { return {}; }
    void updateMetaData(const QNetworkCacheMetaData &) override {}
    QIODevice *data(const QUrl &) override { return nullptr; }
    bool remove(const QUrl &) override { return false; }
    qint64 cacheSize() const override { return 0; }
    QIODevice *prepare(const QNetworkCacheMetaData &) override { return nullptr; }
    void insert(QIODevice *) override {}
    void clear() override {}
};

// Why a call failed; empty when it succeeded.
QString failure(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        return QStringLiteral("HTTP status %1").arg(status);
    if (!reply->hasRawHeader("grpc-status"))
        return QString();
    // Qt joins the status of the headers and that of the trailers with ", ".
    const QByteArray grpcStatus = reply->rawHeader("grpc-status");
    const QList<QByteArray> parts = grpcStatus.split(',');
    if (std::all_of(parts.cbegin(), parts.cend(),
                    [](const QByteArray &part) { return part.trimmed() == "0"; }))
        return QString();
    return QStringLiteral("gRPC status %1: %2")
        .arg(QString::fromLatin1(grpcStatus),
             QString::fromUtf8(QByteArray::fromPercentEncoding(reply->rawHeader("grpc-message"))));
}

} // namespace

CoreApiClient::CoreApiClient(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
    // The API is on loopback: a system proxy, which may well be this client's own port, must
    // not carry the call.
    m_network->setProxy(QNetworkProxy::NoProxy);
    m_network->setCache(new NoCache); // the manager takes it
}

void CoreApiClient::removeInbounds(quint16 apiPort, const QStringList &tags, int timeoutMs,
                                   std::function<void(bool ok)> done)
{
    struct Batch
    {
        std::function<void(bool)> done;
        int pending = 0;
        bool settled = false;
        QList<QPointer<QNetworkReply>> replies;
        QTimer *deadline = nullptr;
    };
    auto batch = std::make_shared<Batch>();
    batch->done = std::move(done);
    batch->pending = tags.size();
    batch->deadline = new QTimer(this);
    batch->deadline->setSingleShot(true);

    // Connections with this as their context, and the queued call, end with the client, so
    // done never runs once it is gone. What is still in flight once the result is known is
    // not waited for.
    const auto settle = [this, batch](bool ok) {
        if (batch->settled)
            return;
        batch->settled = true;
        batch->deadline->stop();
        batch->deadline->deleteLater();
        for (const QPointer<QNetworkReply> &reply : qAsConst(batch->replies)) {
            if (reply && !reply->isFinished())
                reply->abort();
        }
        QMetaObject::invokeMethod(
            this, [done = std::move(batch->done), ok] { done(ok); }, Qt::QueuedConnection);
    };
    connect(batch->deadline, &QTimer::timeout, this, [settle, timeoutMs] {
        qDebug() << "Core API: no answer within" << timeoutMs << "ms";
        settle(false);
    });
    batch->deadline->start(std::max(timeoutMs, 0));
    if (tags.isEmpty()) {
        settle(true);
        return;
    }

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(apiPort);
    url.setPath(QStringLiteral("/v2ray.core.app.proxyman.command.HandlerService/RemoveInbound"));
    QNetworkRequest request(url);
    // gRPC without TLS: HTTP/2 from the first byte, with no upgrade from HTTP/1.1.
    request.setAttribute(QNetworkRequest::Http2DirectAttribute, true);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/grpc"));
    request.setRawHeader("te", "trailers");
    for (const QString &tag : tags) {
        QNetworkReply *reply =
            m_network->post(request, CoreApi::grpcFrame(CoreApi::removeInboundMessage(tag)));
        batch->replies.append(reply);
        connect(reply, &QNetworkReply::finished, this, [reply, batch, settle, tag] {
            reply->deleteLater();
            if (batch->settled)
                return;
            const QString reason = failure(reply);
            if (!reason.isEmpty()) {
                qDebug() << "Core API: removing inbound" << tag << "failed:" << reason;
                settle(false);
            } else if (--batch->pending == 0) {
                settle(true);
            }
        });
    }
}
