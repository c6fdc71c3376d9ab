#include "logmask.h"

#include <QJsonArray>

namespace LogMask {

namespace {

const QString hidden = QStringLiteral("***");

bool isSecret(const QString &key)
{
    return key == QLatin1String("password") || key == QLatin1String("proxy_authkey");
}

QJsonValue maskedValue(const QJsonValue &value)
{
    if (value.isObject())
        return masked(value.toObject());
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue &element : value.toArray())
            array.append(maskedValue(element));
        return array;
    }
    return value;
}

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

int skipBlanks(const QString &text, int at)
{
    while (at < text.size() && isBlank(text.at(at)))
        ++at;
    return at;
}

// Past the closing quote of the string that opens at `at`, or the end of a cut-off text.
int stringEnd(const QString &text, int at)
{
    for (int i = at + 1; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\\'))
            ++i;
        else if (text.at(i) == QLatin1Char('"'))
            return i + 1;
    }
    return text.size();
}

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// The characters between two quotes as Qt's parser reads them; it takes an unknown escape
// such as \w for the character itself.
QString unescaped(const QString &text, int from, int to)
{
    QString result;
    for (int i = from; i < to; ++i) {
        if (text.at(i) != QLatin1Char('\\') || i + 1 == to) {
            result += text.at(i);
            continue;
        }
        const QChar c = text.at(++i);
        switch (c.unicode()) {
        case 'b':
            result += QLatin1Char('\b');
            break;
        case 'f':
            result += QLatin1Char('\f');
            break;
        case 'n':
            result += QLatin1Char('\n');
            break;
        case 'r':
            result += QLatin1Char('\r');
            break;
        case 't':
            result += QLatin1Char('\t');
            break;
        case 'u': {
            int code = 0;
            for (int k = 1; k <= 4 && code >= 0; ++k)
                code = i + k < to && hexDigit(text.at(i + k)) >= 0
                           ? code * 16 + hexDigit(text.at(i + k))
                           : -1;
            if (code < 0)
                return QString(); // the parser rejects the whole text
            result += QChar(code);
            i += 4;
            break;
        }
        default:
            result += c;
        }
    }
    return result;
}

// Past the value that starts at `at`, whatever its type: up to the comma or closing bracket
// that ends it at its own depth, or to the end of a cut-off text, less the blanks before.
int valueEnd(const QString &text, int at)
{
    int depth = 0;
    int end = at;
    for (int i = at; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('"')) {
            i = stringEnd(text, i) - 1;
        } else if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
            ++depth;
        } else if (c == QLatin1Char('}') || c == QLatin1Char(']') || c == QLatin1Char(',')) {
            if (depth == 0)
                return end;
            if (c != QLatin1Char(','))
                --depth;
        }
        if (!isBlank(c))
            end = i + 1;
    }
    return end;
}

} // namespace

QString maskedText(const QString &jsonText)
{
    // Works on the text as sent, so the rest of the line stays exactly what the page wrote,
    // and also on text that is not valid JSON. Strings are read whole, so that no quote
    // inside one is taken for the start of a key.
    QString result;
    int copied = 0;
    for (int i = 0; i < jsonText.size(); ++i) {
        if (jsonText.at(i) != QLatin1Char('"'))
            continue;
        const int end = stringEnd(jsonText, i);
        const int colon = skipBlanks(jsonText, end);
        const bool secretKey = colon < jsonText.size() && jsonText.at(colon) == QLatin1Char(':') &&
                               isSecret(unescaped(jsonText, i + 1, end - 1));
        i = end - 1;
        if (!secretKey)
            continue;
        const int value = skipBlanks(jsonText, colon + 1);
        const int valueStop = valueEnd(jsonText, value);
        if (valueStop > value) {
            result += jsonText.midRef(copied, value - copied);
            result += QLatin1Char('"') + hidden + QLatin1Char('"');
            copied = valueStop;
        }
        i = qMax(valueStop, value) - 1;
    }
    result += jsonText.midRef(copied);
    return result;
}

QJsonObject masked(const QJsonObject &object)
{
    QJsonObject result;
    for (auto it = object.begin(); it != object.end(); ++it)
        result.insert(it.key(), isSecret(it.key()) ? QJsonValue(hidden) : maskedValue(it.value()));
    return result;
}

} // namespace LogMask
