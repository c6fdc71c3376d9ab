#include "startpage.h"

#include "bridge/pagerequests.h"

namespace {

const QString defaultLanguage = QStringLiteral("_cn");

} // namespace

StartPage chooseStartPage(const QVariant &login, const QVariant &language)
{
    // A hand-edited or damaged language would lead to a page that does not exist and a blank
    // window the user cannot leave, so it counts as missing.
    const bool languageKnown =
        language.isValid() && PageRequests::isKnownLanguage(language.toString());
    const QString suffix = languageKnown ? language.toString() : defaultLanguage;
    const QString storeLanguage = languageKnown ? QString() : defaultLanguage;

    if (login.isValid() && login.toBool())
        return {QUrl(QStringLiteral("qrc:/html/index%1.html").arg(suffix)), storeLanguage};
    return {QUrl(QStringLiteral("qrc:/html/login%1.html").arg(suffix)), storeLanguage};
}
