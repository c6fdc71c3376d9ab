#pragma once

#include <QJsonObject>
#include <QString>

// Logs never show a password: the value of the account password and the proxy password
// ("password" and "proxy_authkey"), whatever its JSON type, becomes "***" wherever it appears
// in a page's message, also where the key is written with escapes or repeated.
namespace LogMask {

QString maskedText(const QString &jsonText);
QJsonObject masked(const QJsonObject &object);

} // namespace LogMask
