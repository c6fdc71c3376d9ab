#pragma once

#include <QString>

// The local HTTP service's port. The core fetches its configuration there; the pages and
// other programs reach the local API on it too.
static const quint16 HTTP_SERVICE_PORT = 9584;

// What the core is started with: it reads its whole configuration from this address.
inline QString coreConfigUrl()
{
    return QStringLiteral("http://127.0.0.1:%1/xray_config.json").arg(HTTP_SERVICE_PORT);
}
