#include "startpage.h"

namespace {

const QString defaultLanguage = QStringLiteral("_cn");

bool hasPages(const QString &language)
{
    return language == QLatin1String("_cn") || language == QLatin1String("_en");
}

} // namespace

StartPage chooseStartPage(const QVariant &login, const QVariant &language)
{
    // A hand-edited or damaged language would lead to a page that does not exist and a blank
    // window the user cannot leave, so it counts as missing.
    const bool languageKnown = language.isValid() && hasPages(language.toString());
    const QString suffix = languageKnown ? language.toString() : defaultLanguage;
    const QString storeLanguage = languageKnown ? QString() : defaultLanguage;

    if (login.isValid() && login.toBool())
        return {QUrl(QStringLiteral("qrc:/html/index%1.html").arg(suffix)), storeLanguage};
    return {QUrl(QStringLiteral("qrc:/html/login%1.html").arg(suffix)), storeLanguage};
}
