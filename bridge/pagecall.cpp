#include "pagecall.h"

#include <QJsonDocument>

namespace PageCall {

QString withBase64(const QString &function, const QByteArray &bytes)
{
    return function + QLatin1String("('") + QString::fromLatin1(bytes.toBase64()) +
           QLatin1String("')");
}

QString withJson(const QString &function, const QJsonObject &object)
{
    return withBase64(function, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QString withNumber(const QString &function, qint64 value)
{
    return function + QLatin1Char('(') + QString::number(value) + QLatin1Char(')');
}

QString withText(const QString &function, const QString &text)
{
    QString literal;
    literal.reserve(text.size() + 2);
    literal += QLatin1Char('\'');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            literal += QLatin1String("\\\\");
            break;
        case '\'':
            literal += QLatin1String("\\'");
            break;
        case '\n':
            literal += QLatin1String("\\n");
            break;
        case '\r':
            literal += QLatin1String("\\r");
            break;
        case 0x2028:
            literal += QLatin1String("\\u2028");
            break;
        case 0x2029:
            literal += QLatin1String("\\u2029");
            break;
        default:
            literal += c;
        }
    }
    literal += QLatin1Char('\'');
    return function + QLatin1Char('(') + literal + QLatin1Char(')');
}

QString sigIsSendLogin(const QJsonObject &pararms)
{
    return withJson(QStringLiteral("sigIsSendLogin"), pararms);
}

QString sigCheckIp(const QJsonObject &report)
{
    return withJson(QStringLiteral("sigCheckIp"), report);
}

QString sigIshttpProxy(const QJsonObject &request)
{
    return withJson(QStringLiteral("sigIshttpProxy"), request);
}

QString sigSendRunProxyList(const QByteArray &configJson)
{
    return withBase64(QStringLiteral("sigSendRunProxyList"), configJson);
}

QString sigSendMessageToJS(quint16 port)
{
    return withNumber(QStringLiteral("sigSendMessageToJS"), port);
}

QString sigSendDelRow(int port)
{
    return withNumber(QStringLiteral("sigSendDelRow"), port);
}

QString sigLignOutToJS(const QString &language)
{
    return withText(QStringLiteral("sigLignOutToJS"), language);
}

QString setlanguage(const QString &language)
{
    return withText(QStringLiteral("setlanguage"), language);
}

QString checkversion(const QString &url)
{
    return withText(QStringLiteral("checkversion"), url);
}

QString startError()
{
    return QStringLiteral("errormsg('开启错误')");
}

QString startFailed()
{
    return QStringLiteral("errormsg('开启失败')");
}

QString removeFailed()
{
    return QStringLiteral("errormsg('删除失败')");
}

} // namespace PageCall
