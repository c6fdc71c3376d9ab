#include "httprequest.h"

QByteArray HttpRequestHead::header(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return QByteArray();
}

bool HttpRequestHead::hasHeader(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

HttpHeadParse parseHttpHead(const QByteArray &data, int maxBytes)
{
    HttpHeadParse result;

    // The head ends at the first empty line; bare LF line ends are accepted as well.
    int end = -1;
    int lineStart = 0;
    while (lineStart <= data.size()) {
        const int newline = data.indexOf('\n', lineStart);
        if (newline < 0)
            break;
        const int length = newline - lineStart;
        if (length == 0 || (length == 1 && data.at(lineStart) == '\r')) {
            end = newline + 1;
            break;
        }
        lineStart = newline + 1;
    }
    if (end < 0) {
        result.status = data.size() > maxBytes ? HttpHeadParse::Bad : HttpHeadParse::Incomplete;
        return result;
    }
    if (end > maxBytes) {
        result.status = HttpHeadParse::Bad;
        return result;
    }

    result.status = HttpHeadParse::Ok;
    result.consumed = end;
    const QList<QByteArray> lines = data.left(end).split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (result.head.requestLine.isEmpty()) {
            result.head.requestLine = line;
            const QList<QByteArray> words = line.simplified().split(' ');
            result.head.method = words.value(0);
            result.head.target = words.value(1);
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon > 0)
            result.head.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return result;
}
