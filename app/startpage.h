#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>

struct StartPage
{
    QUrl url;
    QString languageToStore; // empty when the settings need no change
};

// The first page from the stored "settings/login" and "settings/language" (null variants
// when missing): the index page once signed in, the login page otherwise.
StartPage chooseStartPage(const QVariant &login, const QVariant &language);
