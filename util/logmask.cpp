#include "logmask.h"

#include <QJsonArray>
#include <QRegularExpression>

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

} // namespace

QString maskedText(const QString &jsonText)
{
    // Works on the text as sent, so the rest of the line stays exactly what the page wrote,
    // and also on text that is not valid JSON. The value is a string, or anything up to the
    // next separator.
    static const QRegularExpression secret(QString::fromLatin1(
        R"re(("(?:password|proxy_authkey)"\s*:\s*)(?:"(?:[^"\\]|\\.)*"?|[^,}\]\s]*))re"));
    QString text = jsonText;
    return text.replace(secret, QStringLiteral("\\1\"***\""));
}

QJsonObject masked(const QJsonObject &object)
{
    QJsonObject result;
    for (auto it = object.begin(); it != object.end(); ++it)
        result.insert(it.key(), isSecret(it.key()) ? QJsonValue(hidden) : maskedValue(it.value()));
    return result;
}

} // namespace LogMask
