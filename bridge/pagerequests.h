#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVariant>

// The objects the program hands to the pages, built from plain data.
namespace PageRequests {

// Answer to the pages' first message: where the account service is, the local HTTP port,
// the addresses the local proxies are reachable under, and the stored language.
QJsonObject pageParameters(const QVariant &language, const QJsonArray &localIps);

// A request of the local API, as the index page expects it: it fetches a proxy from the
// account service and starts it with these options.
QJsonObject localApiRequest(const QJsonObject &query);

// Only languages the pages exist in may be stored or loaded.
bool isKnownLanguage(const QString &language);

} // namespace PageRequests
