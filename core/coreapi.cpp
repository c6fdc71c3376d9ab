#include "coreapi.h"

#include "core/configurl.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QNetworkProxy>
#include <QTcpSocket>
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

namespace {

enum FrameType : quint8 {
    Data = 0x0,
    Headers = 0x1,
    RstStream = 0x3,
    Settings = 0x4,
    GoAway = 0x7
};
const quint8 endStream = 0x1;
const quint8 endHeaders = 0x4;
const quint8 ack = 0x1;
const int frameHeaderSize = 9;

QByteArray frame(quint8 type, quint8 flags, quint32 stream, const QByteArray &payload)
{
    QByteArray bytes;
    const int length = payload.size();
    bytes.append(char(length >> 16)).append(char(length >> 8)).append(char(length));
    bytes.append(char(type)).append(char(flags));
    bytes.append(char(stream >> 24 & 0x7f)).append(char(stream >> 16));
    bytes.append(char(stream >> 8)).append(char(stream));
    return bytes + payload;
}

// An HPACK integer with an N-bit prefix; the prefix's other bits are in first.
QByteArray hpackInteger(quint32 value, int prefixBits, quint8 first)
{
    const quint32 limit = (1u << prefixBits) - 1;
    QByteArray bytes;
    if (value < limit)
        return bytes.append(char(first | value));
    bytes.append(char(first | limit));
    for (value -= limit; value >= 128; value >>= 7)
        bytes.append(char(value % 128 + 128));
    return bytes.append(char(value));
}

QByteArray hpackString(const QByteArray &text)
{
    return hpackInteger(text.size(), 7, 0) + text; // not Huffman-coded
}

// Literal header fields without indexing, so that no dynamic table is involved.
QByteArray hpackField(int staticNameIndex, const QByteArray &value)
{
    return hpackInteger(staticNameIndex, 4, 0) + hpackString(value);
}

QByteArray hpackField(const QByteArray &name, const QByteArray &value)
{
    return QByteArray(1, 0) + hpackString(name) + hpackString(value);
}

} // namespace

QByteArray removeInboundsRequest(quint16 apiPort, const QStringList &tags)
{
    QByteArray bytes("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
    bytes += frame(Settings, 0, 0, {});
    // Indexed from the static table: ":method: POST" (3) and ":scheme: http" (6); names
    // ":authority" (1), ":path" (4) and "content-type" (31).
    QByteArray headers("\x83\x86", 2);
    headers += hpackField(1, "127.0.0.1:" + QByteArray::number(apiPort));
    headers += hpackField(4, "/v2ray.core.app.proxyman.command.HandlerService/RemoveInbound");
    headers += hpackField(31, "application/grpc");
    headers += hpackField("te", "trailers");
    quint32 stream = 1;
    for (const QString &tag : tags) {
        bytes += frame(Headers, endHeaders, stream, headers);
        bytes += frame(Data, endStream, stream, grpcFrame(removeInboundMessage(tag)));
        stream += 2;
    }
    return bytes;
}

int ResponseReader::feed(const QByteArray &bytes)
{
    m_buffer += bytes;
    while (m_error.isEmpty() && m_buffer.size() >= frameHeaderSize) {
        const auto byte = [this](int i) {
            return quint32(quint8(m_buffer.at(i)));
        };
        const int length = int(byte(0) << 16 | byte(1) << 8 | byte(2));
        if (m_buffer.size() < frameHeaderSize + length)
            break;
        const quint8 type = quint8(byte(3));
        const quint8 flags = quint8(byte(4));
        const quint32 stream = (byte(5) & 0x7f) << 24 | byte(6) << 16 | byte(7) << 8 | byte(8);
        const QByteArray payload = m_buffer.mid(frameHeaderSize, length);
        m_buffer.remove(0, frameHeaderSize + length);
        if (type == Settings && !(flags & ack))
            m_reply += frame(Settings, ack, 0, {});
        else if (type == GoAway)
            m_error = QStringLiteral("the core closed the connection");
        else if (type == RstStream && stream != 0)
            m_error = QStringLiteral("the core reset call %1").arg(stream);
        else if (type == Headers && !m_status.contains(stream))
            // ":status: 200" is the static table's entry 8; the core sends it indexed.
            m_status.insert(stream, !payload.isEmpty() && quint8(payload.at(0)) == 0x88);
        else if (type == Data && !payload.isEmpty())
            m_answered.insert(stream);
        if ((type == Headers || type == Data) && (flags & endStream))
            m_ended.insert(stream);
    }
    return m_ended.size();
}

QByteArray ResponseReader::takeReply()
{
    return std::exchange(m_reply, QByteArray());
}

// gRPC answers a failed call with its status in headers alone; a call that succeeded
// carries its (empty) response message in a DATA frame before the trailers.
bool ResponseReader::succeeded(quint32 stream) const
{
    return m_ended.contains(stream) && m_status.value(stream) && m_answered.contains(stream);
}

} // namespace CoreApi

CoreApiClient::CoreApiClient(QObject *parent)
    : QObject(parent)
{}

namespace {

// How long the call may hold up the caller's thread: a core answers on loopback within a
// millisecond or two. Only one that has not answered by then is waited for from the event
// loop, which a busy window may keep from it for longer still.
const int answerAtOnceMs = 50;

enum class Step { Pending, Succeeded, Failed };

// Takes what the core sent; whether every call has succeeded, or one has failed.
Step readAnswer(QTcpSocket *socket, CoreApi::ResponseReader &reader, const QStringList &tags,
                QString *why)
{
    const int ended = reader.feed(socket->readAll());
    socket->write(reader.takeReply());
    if (!reader.error().isEmpty()) {
        *why = reader.error();
        return Step::Failed;
    }
    if (ended < tags.size())
        return Step::Pending;
    for (int i = 0; i < tags.size(); ++i) {
        if (!reader.succeeded(quint32(2 * i + 1))) {
            *why = QStringLiteral("the core refused to remove %1").arg(tags.at(i));
            return Step::Failed;
        }
    }
    return Step::Succeeded;
}

} // namespace

// One connection carries every call at once, written in one piece with TCP_NODELAY: an
// HTTP/2 client that writes frame by frame waits for the core's delayed acknowledgements.
void CoreApiClient::removeInbounds(quint16 apiPort, const QStringList &tags, int timeoutMs,
                                   std::function<void(bool ok)> done)
{
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    // Settled once; from the event loop unless the core answered at once. What the socket
    // owns goes with it, so nothing reports once the client is gone.
    const auto settle = [socket, done](bool ok, const QString &why, bool queued) {
        if (socket->property("settled").toBool())
            return;
        socket->setProperty("settled", true);
        if (!ok)
            qDebug() << "Core API: removing inbounds failed:" << why;
        socket->abort();
        socket->deleteLater();
        if (queued)
            QMetaObject::invokeMethod(
                socket->parent(), [done, ok] { done(ok); }, Qt::QueuedConnection);
        else
            done(ok);
    };
    if (tags.isEmpty()) {
        settle(true, QString(), true);
        return;
    }
    const QByteArray request = CoreApi::removeInboundsRequest(apiPort, tags);
    const auto send = [socket, request] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->write(request);
        socket->flush();
    };
    auto reader = std::make_shared<CoreApi::ResponseReader>();
    QString why;
    QElapsedTimer clock;
    clock.start();
    socket->connectToHost(QHostAddress::LocalHost, apiPort);
    const int atOnce = std::min(timeoutMs, answerAtOnceMs);
    if (socket->waitForConnected(atOnce)) {
        send();
        while (socket->waitForReadyRead(std::max(1, atOnce - int(clock.elapsed())))) {
            const Step step = readAnswer(socket, *reader, tags, &why);
            if (step != Step::Pending) {
                settle(step == Step::Succeeded, why, false);
                return;
            }
            if (clock.elapsed() >= atOnce)
                break;
        }
    }
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        settle(false, socket->errorString(), true);
        return;
    }

    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [settle, timeoutMs] {
        settle(false, QStringLiteral("no answer within %1 ms").arg(timeoutMs), true);
    });
    connect(socket, &QTcpSocket::connected, socket, send);
    connect(socket, &QTcpSocket::readyRead, socket, [socket, reader, settle, tags] {
        QString why;
        const Step step = readAnswer(socket, *reader, tags, &why);
        if (step != Step::Pending)
            settle(step == Step::Succeeded, why, true);
    });
    connect(socket, &QAbstractSocket::errorOccurred, socket,
            [socket, settle] { settle(false, socket->errorString(), true); });
    deadline->start(std::max(0, timeoutMs - int(clock.elapsed())));
    // Whatever came in the meantime has not been read yet.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(socket, "readyRead", Qt::QueuedConnection);
}
