#include "proxycredentials.h"

#include <QRegularExpression>

ProxyCredentials ProxyCredentials::fromPassword(const QString &password)
{
    // Matched from the end so that underscores inside the base password stay part of it. A
    // suffix of the wrong shape stays in the base password too, so it fails to authenticate
    // instead of being half understood.
    static const QRegularExpression suffixes(
        QStringLiteral("^(.*?)(?:_country-([A-Za-z]{2})?)?(?:_session-([A-Za-z0-9]{8}))?$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = suffixes.match(password);
    return {match.captured(1), match.captured(2), match.captured(3)};
}
