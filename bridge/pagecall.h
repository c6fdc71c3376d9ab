#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The exact script texts the program runs in the page: the function name, "(", the
// argument, ")" and nothing else. Structured data travels as Base64 of indented JSON.
namespace PageCall {

QString withBase64(const QString &function, const QByteArray &bytes);
QString withJson(const QString &function, const QJsonObject &object);
QString withNumber(const QString &function, qint64 value);
// The text as a single-quoted JavaScript string literal. Quotes, backslashes and line
// terminators are escaped, so a value can never end the literal and run code of its own;
// "_cn", "_en" and ordinary URLs come out exactly as written.
QString withText(const QString &function, const QString &text);

QString sigIsSendLogin(const QJsonObject &pararms);
QString sigCheckIp(const QJsonObject &report);
QString sigIshttpProxy(const QJsonObject &request);
QString sigSendRunProxyList(const QByteArray &configJson);
QString sigSendMessageToJS(quint16 port);
QString sigSendDelRow(int port);
QString sigLignOutToJS(const QString &language);
QString setlanguage(const QString &language);
QString checkversion(const QString &url);
QString startError();   // code 6 failed
QString startFailed();  // code 3 failed
QString removeFailed(); // code 5 failed

} // namespace PageCall
