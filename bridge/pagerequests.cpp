#include "pagerequests.h"

#include "core/configurl.h"
#include "util/constants.h"

namespace PageRequests {

QJsonObject pageParameters(const QVariant &language, const QJsonArray &localIps)
{
    return QJsonObject{
        {QStringLiteral("URL"), WEBSITE_URL},
        {QStringLiteral("httpPort"), HTTP_SERVICE_PORT},
        {QStringLiteral("localIps"), localIps},
        {QStringLiteral("language"), language.isValid() ? language.toString() : QString()},
    };
}

QJsonObject localApiRequest(const QJsonObject &query)
{
    const auto text = [&query](const char *key) {
        return query.value(QLatin1String(key)).toString();
    };
    return QJsonObject{
        {QStringLiteral("proxyType"), text("proxyType")},
        {QStringLiteral("country"), text("country")},
        {QStringLiteral("gender"), text("gender") == QLatin1String("1")},
        {QStringLiteral("local_port"), query.value(QLatin1String("proxy")).toInt(0)},
        {QStringLiteral("counrtyList"), text("contry")},
        {QStringLiteral("API"), QStringLiteral("true")},
    };
}

bool isKnownLanguage(const QString &language)
{
    return language == QLatin1String("_cn") || language == QLatin1String("_en");
}

} // namespace PageRequests
