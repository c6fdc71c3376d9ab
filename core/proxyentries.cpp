#include "proxyentries.h"

#include <QJsonArray>
#include <QRandomGenerator>

namespace ProxyEntries {

namespace {

const QLatin1String keyInbounds("inbounds");
const QLatin1String keyOutbounds("outbounds");
const QLatin1String keyRouting("routing");
const QLatin1String keyRules("rules");
const QLatin1String keyTag("tag");

// A whole number from 1 to 65535, given as a JSON number, or as decimal text when allowed.
quint16 portValue(const QJsonValue &value, bool acceptText)
{
    double number = -1;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (acceptText && value.isString()) {
        const QString text = value.toString();
        bool ok = false;
        const uint parsed = text.toUInt(&ok, 10);
        if (!ok || text.isEmpty() || !text.at(0).isDigit())
            return 0;
        number = parsed;
    }
    if (number < 1 || number > 65535 || number != static_cast<quint16>(number))
        return 0;
    return static_cast<quint16>(number);
}

QString protocolFor(const QJsonObject &request)
{
    const QJsonValue type = request.value(QLatin1String("proxyType"));
    if (type == QJsonValue(QLatin1String("HTTP")))
        return QStringLiteral("http");
    if (type == QJsonValue(QLatin1String("SOCKS")))
        return QStringLiteral("socks");
    return QString();
}

bool present(const QJsonObject &request, QLatin1String key)
{
    return !request.value(key).isNull() && !request.value(key).isUndefined();
}

} // namespace

QByteArray templateText()
{
    return QByteArrayLiteral(
        R"({"dns":{"servers":["8.8.8.8","8.8.4.4","localhost"]},"inbounds":[],)"
        R"("log":{"loglevel":"warning"},"outbounds":[],)"
        R"("routing":{"domainStrategy":"IPOnDemand","rules":[],"strategy":"rules"}})");
}

QString inboundTag(int port)
{
    return QStringLiteral("socks_%1").arg(port);
}

QString outboundTag(int port)
{
    return QStringLiteral("proxy_%1").arg(port);
}

QString randomString(int length)
{
    static const QString alphabet =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    QString result;
    for (int i = 0; i < length; ++i)
        result += alphabet.at(QRandomGenerator::system()->bounded(alphabet.size()));
    return result;
}

LocalPort localPort(const QJsonObject &request)
{
    LocalPort result;
    const QJsonValue value = request.value(QLatin1String("local_port"));
    if (value.isNull() || value.isUndefined())
        return result;
    result.present = true;
    result.port = portValue(value, false);
    if (result.port == 0)
        result.error = QStringLiteral("\"local_port\" must be a whole number from 1 to 65535");
    return result;
}

QString composePassword(const QJsonObject &request, const std::function<QString()> &sessionId)
{
    QString password = request.value(QLatin1String("password")).toString();
    if (present(request, QLatin1String("counrtyList")))
        password = QStringLiteral("%1_country-%2")
                       .arg(password, request.value(QLatin1String("counrtyList")).toString());
    if (request.value(QLatin1String("gender")).toBool(false))
        password = QStringLiteral("%1_session-%2").arg(password, sessionId());
    return password;
}

Server server(const QJsonObject &request, const std::function<QString()> &sessionId)
{
    Server result;
    const QJsonValue address = request.value(QLatin1String("ip"));
    if (!address.isString() || address.toString().isEmpty()) {
        result.error = QStringLiteral("\"ip\" must be a non-empty string");
        return result;
    }
    const quint16 port = portValue(request.value(QLatin1String("port")), true);
    if (port == 0) {
        result.error = QStringLiteral("\"port\" must be a port number from 1 to 65535");
        return result;
    }
    result.object.insert(QLatin1String("address"), address);
    result.object.insert(QLatin1String("port"), port);
    if (present(request, QLatin1String("username")) &&
        present(request, QLatin1String("password"))) {
        const QJsonObject user{{QLatin1String("user"), request.value(QLatin1String("username"))},
                               {QLatin1String("pass"), composePassword(request, sessionId)}};
        result.object.insert(QLatin1String("users"), QJsonArray{user});
    }
    return result;
}

QJsonObject inbound(int port)
{
    return QJsonObject{
        {QLatin1String("listen"), QLatin1String("0.0.0.0")},
        {QLatin1String("port"), port},
        {QLatin1String("protocol"), QLatin1String("socks")},
        {QLatin1String("settings"), QJsonObject{{QLatin1String("auth"), QLatin1String("noauth")},
                                                {QLatin1String("udp"), true},
                                                {QLatin1String("ip"), QLatin1String("127.0.0.1")}}},
        {keyTag, inboundTag(port)},
    };
}

QJsonObject rule(int port)
{
    return QJsonObject{
        {QLatin1String("type"), QLatin1String("field")},
        {QLatin1String("outboundTag"), outboundTag(port)},
        {QLatin1String("inboundTag"), QJsonArray{inboundTag(port)}},
    };
}

QJsonObject outbound(int port, const QJsonObject &server, const QJsonObject &request)
{
    QJsonObject result{
        {QLatin1String("settings"), QJsonObject{{QLatin1String("servers"), QJsonArray{server}}}},
        {keyTag, outboundTag(port)},
        {QLatin1String("sid"), request.value(QLatin1String("sid")).isUndefined()
                                   ? QJsonValue()
                                   : request.value(QLatin1String("sid"))},
    };
    const QString protocol = protocolFor(request);
    if (!protocol.isEmpty())
        result.insert(QLatin1String("protocol"), protocol);
    return result;
}

bool hasEntry(const QJsonObject &root, int port)
{
    const QString tag = outboundTag(port);
    const QJsonArray outbounds = root.value(keyOutbounds).toArray();
    for (const QJsonValue &element : outbounds) {
        if (element.toObject().value(keyTag) == QJsonValue(tag))
            return true;
    }
    return false;
}

void appendEntry(QJsonObject &root, int port, const QJsonObject &server, const QJsonObject &request)
{
    QJsonArray inbounds = root.value(keyInbounds).toArray();
    inbounds.append(inbound(port));
    root.insert(keyInbounds, inbounds);

    QJsonArray outbounds = root.value(keyOutbounds).toArray();
    outbounds.append(outbound(port, server, request));
    root.insert(keyOutbounds, outbounds);

    QJsonObject routing = root.value(keyRouting).toObject();
    QJsonArray rules = routing.value(keyRules).toArray();
    rules.append(rule(port));
    routing.insert(keyRules, rules);
    root.insert(keyRouting, routing);
}

bool rewriteEntry(QJsonObject &root, int port, const QJsonObject &server,
                  const QJsonObject &request)
{
    const QString tag = outboundTag(port);
    QJsonArray outbounds = root.value(keyOutbounds).toArray();
    for (int i = 0; i < outbounds.size(); ++i) {
        QJsonObject element = outbounds.at(i).toObject();
        if (element.value(keyTag) != QJsonValue(tag))
            continue;
        element.insert(QLatin1String("settings"),
                       QJsonObject{{QLatin1String("servers"), QJsonArray{server}}});
        const QString protocol = protocolFor(request);
        if (!protocol.isEmpty())
            element.insert(QLatin1String("protocol"), protocol);
        outbounds.replace(i, element);
        root.insert(keyOutbounds, outbounds);
        return true;
    }
    return false;
}

void removeEntry(QJsonObject &root, int port)
{
    const auto without = [](const QJsonArray &array, QLatin1String key, const QString &value) {
        QJsonArray kept;
        for (const QJsonValue &element : array) {
            if (element.toObject().value(key) != QJsonValue(value))
                kept.append(element);
        }
        return kept;
    };
    root.insert(keyInbounds, without(root.value(keyInbounds).toArray(), keyTag, inboundTag(port)));
    root.insert(keyOutbounds,
                without(root.value(keyOutbounds).toArray(), keyTag, outboundTag(port)));
    QJsonObject routing = root.value(keyRouting).toObject();
    routing.insert(keyRules, without(routing.value(keyRules).toArray(),
                                     QLatin1String("outboundTag"), outboundTag(port)));
    root.insert(keyRouting, routing);
}

QSet<quint16> usedPorts(const QJsonObject &root)
{
    QSet<quint16> ports;
    const auto addTagged = [&ports](const QJsonValue &tag) {
        const QString text = tag.toString();
        const int underscore = text.indexOf(QLatin1Char('_'));
        bool ok = false;
        const uint port = text.mid(underscore + 1).toUInt(&ok);
        if (underscore >= 0 && ok && port > 0 && port <= 65535)
            ports.insert(static_cast<quint16>(port));
    };
    const QJsonArray inbounds = root.value(keyInbounds).toArray();
    for (const QJsonValue &element : inbounds) {
        const quint16 port = portValue(element.toObject().value(QLatin1String("port")), false);
        if (port != 0)
            ports.insert(port);
        addTagged(element.toObject().value(keyTag));
    }
    const QJsonArray outbounds = root.value(keyOutbounds).toArray();
    for (const QJsonValue &element : outbounds)
        addTagged(element.toObject().value(keyTag));
    return ports;
}

quint16 choosePort(const QSet<quint16> &used, const std::function<quint16()> &unusedPort)
{
    // The system hands out ports from its ephemeral range in turn, so a few tries suffice.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const quint16 port = unusedPort();
        if (port == 0)
            return 0;
        if (!used.contains(port))
            return port;
    }
    return 0;
}

} // namespace ProxyEntries
