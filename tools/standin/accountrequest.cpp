#include "accountrequest.h"
#include "httphead.h"

#include <algorithm>
#include <cctype>

namespace {

QString firstValue(const AccountRequest::Items &items, const QString &key)
{
    for (const auto &item : items) {
        if (item.first == key)
            return item.second;
    }
    return QString();
}

AccountRequest::ParseResult bad(const QString &error)
{
    AccountRequest::ParseResult result;
    result.status = AccountRequest::Status::Bad;
    result.error = error;
    return result;
}

// Never a null string, so that "key=" and "key" read as present and empty.
QString decodeComponent(QByteArray text)
{
    text.replace('+', ' ');
    const QString decoded = QString::fromUtf8(QByteArray::fromPercentEncoding(text));
    return decoded.isNull() ? QString(QLatin1String("")) : decoded;
}

} // namespace

QString AccountRequest::queryItem(const QString &key) const
{
    return firstValue(query, key);
}

QString AccountRequest::formItem(const QString &key) const
{
    return firstValue(form, key);
}

QByteArray AccountRequest::header(const QByteArray &name) const
{
    for (const auto &field : headers) {
        if (qstricmp(field.first.constData(), name.constData()) == 0)
            return field.second;
    }
    return QByteArray();
}

bool AccountRequest::isFormEncoded() const
{
    const QByteArray type = header("Content-Type").split(';').constFirst().trimmed().toLower();
    return type == "application/x-www-form-urlencoded";
}

AccountRequest::ParseResult AccountRequest::parse(const QByteArray &data, AccountRequest *request)
{
    const HttpHead::ParseResult head = HttpHead::parse(data);
    if (head.status == HttpHead::Status::Bad)
        return bad(head.error);
    if (head.status == HttpHead::Status::Incomplete)
        return ParseResult();
    const HttpHead::Request &fields = head.request;
    if (!fields.target.startsWith('/'))
        return bad(QStringLiteral("the request target must be a path starting with /"));
    if (!fields.field("Transfer-Encoding").isEmpty())
        return bad(QStringLiteral("Transfer-Encoding is not accepted; send a Content-Length"));

    // Two different lengths would let the body end in two places, so they are refused.
    QByteArray lengthText;
    for (const auto &field : fields.fields) {
        if (qstricmp(field.first.constData(), "Content-Length") != 0)
            continue;
        if (!lengthText.isNull() && lengthText != field.second)
            return bad(QStringLiteral("conflicting Content-Length fields"));
        lengthText = field.second;
    }
    const bool digits = !lengthText.isEmpty() && lengthText.size() <= 9 &&
                        std::all_of(lengthText.begin(), lengthText.end(),
                                    [](char c) { return std::isdigit(uchar(c)); });
    if (!lengthText.isNull() && !digits)
        return bad(QStringLiteral("Content-Length %1 is not a number of bytes")
                       .arg(QString::fromLatin1(lengthText)));
    const int length = lengthText.isNull() ? 0 : lengthText.toInt();
    if (length > MaxBodySize)
        return bad(QStringLiteral("the request body is larger than 64 KiB"));
    if (data.size() - head.consumed < length) {
        ParseResult incomplete;
        incomplete.wantsContinue =
            qstricmp(fields.field("Expect").constData(), "100-continue") == 0;
        return incomplete;
    }

    AccountRequest parsed;
    parsed.method = QString::fromLatin1(fields.method);
    const int question = fields.target.indexOf('?');
    const QByteArray path = question < 0 ? fields.target : fields.target.left(question);
    parsed.path = QString::fromUtf8(QByteArray::fromPercentEncoding(path));
    if (question >= 0)
        parsed.query = decodeItems(fields.target.mid(question + 1));
    parsed.headers = fields.fields;
    parsed.body = data.mid(head.consumed, length);
    if (parsed.isFormEncoded())
        parsed.form = decodeItems(parsed.body);
    *request = parsed;

    ParseResult result;
    result.status = Status::Ok;
    result.consumed = head.consumed + length;
    return result;
}

AccountRequest::Items AccountRequest::decodeItems(const QByteArray &encoded)
{
    Items items;
    for (const QByteArray &item : encoded.split('&')) {
        if (item.isEmpty())
            continue;
        const int equals = item.indexOf('=');
        items.append({decodeComponent(item.left(equals)),
                      decodeComponent(equals < 0 ? QByteArray() : item.mid(equals + 1))});
    }
    return items;
}
