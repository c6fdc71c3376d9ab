#pragma once

#include <QJsonObject>
#include <QString>

// Logs never show a password: the account password and the proxy password ("password" and
// "proxy_authkey") become "***" wherever they appear in a page's message.
namespace LogMask {

QString maskedText(const QString &jsonText);
QJsonObject masked(const QJsonObject &object);

} // namespace LogMask
