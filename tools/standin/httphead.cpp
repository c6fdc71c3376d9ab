#include "httphead.h"

#include <QHostAddress>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace HttpHead {

namespace {

bool isTokenChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c));
}

bool isToken(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

bool isVisibleOrSpace(char c)
{
    return c == ' ' || (c >= 0x21 && c <= 0x7e);
}

ParseResult bad(const QString &error)
{
    ParseResult result;
    result.status = Status::Bad;
    result.error = error;
    return result;
}

ParseResult incompleteOrTooLarge(const QByteArray &data)
{
    return data.size() >= MaxSize ? bad(QStringLiteral("request head is larger than 16 KiB"))
                                  : ParseResult();
}

bool parseRequestLine(const QByteArray &line, Request *request, QString *error)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || parts[1].isEmpty()) {
        *error = QStringLiteral("request line is not \"METHOD target HTTP/x.y\"");
        return false;
    }
    const QByteArray &version = parts[2];
    const bool versionOk = version.size() == 8 && version.startsWith("HTTP/") &&
                           std::isdigit(uchar(version[5])) && version[6] == '.' &&
                           std::isdigit(uchar(version[7]));
    if (!isToken(parts[0]) || !versionOk) {
        *error = QStringLiteral("request line is not \"METHOD target HTTP/x.y\"");
        return false;
    }
    request->method = parts[0];
    request->target = parts[1];
    request->version = version;
    return true;
}

bool parseField(const QByteArray &line, Request *request, QString *error)
{
    const int colon = line.indexOf(':');
    // A name with whitespace before the colon, or a line folded onto the previous one, is read
    // differently by different servers, so it is refused rather than passed on.
    const QByteArray name = colon < 0 ? QByteArray() : line.left(colon);
    if (!isToken(name)) {
        *error = QStringLiteral("malformed header field line");
        return false;
    }
    const QByteArray value = line.mid(colon + 1).trimmed();
    for (char c : value) {
        if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f) {
            *error = QStringLiteral("control character in header field %1")
                         .arg(QString::fromLatin1(name));
            return false;
        }
    }
    request->fields.append({name, value});
    return true;
}

bool isRegName(const QByteArray &host)
{
    return std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(uchar(c)) || (c != '\0' && std::strchr("-._~%!$&'()*+,;=", c));
    });
}

// Splits "host[:port]" or "[v6][:port]"; a missing port is defaultPort, where 0 means required.
std::optional<Target> hostAndPort(const QByteArray &authority, quint16 defaultPort)
{
    QByteArray host;
    QByteArray portText;
    if (authority.startsWith('[')) {
        const int close = authority.indexOf(']');
        if (close < 0)
            return std::nullopt;
        host = authority.mid(1, close - 1);
        const QByteArray rest = authority.mid(close + 1);
        if (QHostAddress(QString::fromLatin1(host)).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        if (!rest.isEmpty() && !rest.startsWith(':'))
            return std::nullopt;
        portText = rest.mid(1);
    } else {
        const int colon = authority.lastIndexOf(':');
        host = colon < 0 ? authority : authority.left(colon);
        portText = colon < 0 ? QByteArray() : authority.mid(colon + 1);
        if (!isRegName(host))
            return std::nullopt;
    }
    if (host.isEmpty())
        return std::nullopt;

    uint port = defaultPort;
    if (!portText.isEmpty()) {
        const bool digits =
            portText.size() <= 5 && std::all_of(portText.begin(), portText.end(),
                                                [](char c) { return std::isdigit(uchar(c)); });
        port = digits ? portText.toUInt() : 0;
    }
    if (port == 0 || port > 65535)
        return std::nullopt;
    return Target{QString::fromLatin1(host), quint16(port), QByteArray()};
}

} // namespace

QByteArray Request::field(const QByteArray &name) const
{
    for (const auto &field : fields) {
        if (qstricmp(field.first.constData(), name.constData()) == 0)
            return field.second;
    }
    return QByteArray();
}

ParseResult parse(const QByteArray &data)
{
    const int lineEnd = data.indexOf("\r\n");
    QByteArray firstLine = lineEnd < 0 ? data : data.left(lineEnd);
    if (lineEnd < 0 && firstLine.endsWith('\r'))
        firstLine.chop(1);
    // Checked before the line is complete, so that a client speaking another protocol is
    // answered at once instead of after 16 KiB.
    if (!std::all_of(firstLine.begin(), firstLine.end(), isVisibleOrSpace))
        return bad(QStringLiteral("request line holds a control or non-ASCII byte"));
    if (lineEnd < 0)
        return incompleteOrTooLarge(data);

    ParseResult result;
    if (!parseRequestLine(firstLine, &result.request, &result.error))
        return bad(result.error);

    const int headEnd = data.indexOf("\r\n\r\n", lineEnd);
    if (headEnd < 0)
        return incompleteOrTooLarge(data);
    if (headEnd + 4 > MaxSize)
        return bad(QStringLiteral("request head is larger than 16 KiB"));

    for (int start = lineEnd + 2; start < headEnd + 2;) {
        const int end = data.indexOf("\r\n", start);
        const QByteArray line = data.mid(start, end - start);
        if (line.contains('\r') || line.contains('\n'))
            return bad(QStringLiteral("bare CR or LF in the request head"));
        if (!parseField(line, &result.request, &result.error))
            return bad(result.error);
        start = end + 2;
    }
    result.status = Status::Ok;
    result.consumed = headEnd + 4;
    return result;
}

std::optional<Target> authorityTarget(const QByteArray &target)
{
    return hostAndPort(target, 0);
}

std::optional<Target> absoluteTarget(const QByteArray &target)
{
    static const QByteArray scheme("http://");
    if (qstrnicmp(target.constData(), scheme.constData(), scheme.size()) != 0)
        return std::nullopt;
    const QByteArray rest = target.mid(scheme.size());
    int end = rest.size();
    for (char delimiter : {'/', '?', '#'}) {
        const int at = rest.indexOf(delimiter);
        if (at >= 0)
            end = std::min(end, at);
    }
    std::optional<Target> result = hostAndPort(rest.left(end), 80);
    if (!result)
        return std::nullopt;
    QByteArray origin = rest.mid(end);
    const int fragment = origin.indexOf('#');
    if (fragment >= 0)
        origin.truncate(fragment);
    result->originForm = origin.startsWith('/') ? origin : "/" + origin;
    return result;
}

std::optional<BasicCredentials> basicCredentials(const QByteArray &value)
{
    const QByteArray trimmed = value.trimmed();
    const int space = trimmed.indexOf(' ');
    if (space < 0 || qstricmp(trimmed.left(space).constData(), "basic") != 0)
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(trimmed.mid(space + 1).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    const int colon = decoded.decoded.indexOf(':');
    if (!decoded || colon < 0)
        return std::nullopt;
    return BasicCredentials{QString::fromUtf8(decoded.decoded.left(colon)),
                            QString::fromUtf8(decoded.decoded.mid(colon + 1))};
}

QByteArray originRequest(const Request &request, const Target &target)
{
    QByteArray head = request.method + ' ' + target.originForm + ' ' + request.version + "\r\n";
    bool hasHost = false;
    for (const auto &field : request.fields) {
        const QByteArray name = field.first.toLower();
        if (name == "proxy-authorization" || name == "proxy-connection" || name == "connection" ||
            name == "keep-alive")
            continue;
        hasHost = hasHost || name == "host";
        head += field.first + ": " + field.second + "\r\n";
    }
    if (!hasHost) {
        const bool v6 = target.host.contains(QLatin1Char(':'));
        head += "Host: " + (v6 ? "[" + target.host.toLatin1() + "]" : target.host.toLatin1());
        head +=
            target.port == 80 ? QByteArray("\r\n") : ":" + QByteArray::number(target.port) + "\r\n";
    }
    // The relay ties the client's connection to this one origin, so a second request on it
    // must not reach this server: it gets one response and the connection ends.
    head += "Connection: close\r\n\r\n";
    return head;
}

QByteArray errorResponse(int code, const QByteArray &reason, const QString &message,
                         const QByteArray &extraFields)
{
    const QByteArray body = message.toUtf8() + '\n';
    return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason + "\r\n" + extraFields +
           "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace HttpHead
