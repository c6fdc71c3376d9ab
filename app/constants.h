#pragma once

#include "buildconfig.h"

#include <QByteArray>
#include <QString>

// Values shared by several modules. Each including file gets its own copy.
static const QString APP_VERSION = QStringLiteral("1.0.0");
static const QString APP_TITLE_FORMAT = QStringLiteral("Vexalo v%1 ");
static const QString WEBSITE_URL = QStringLiteral(VEXALO_WEBSITE_URL);
static const QString IP_GEO_URL = QStringLiteral(VEXALO_IP_GEO_URL);

// The configuration cipher uses these as ASCII bytes, not as decoded hex.
static const QByteArray AES_KEY = QByteArrayLiteral("e4a17c0b93d25f68a0c4e71b2d9f3865");
static const QByteArray AES_IV = QByteArrayLiteral("71c3e9a05bd4f286");

// The local HTTP service's port: also in the core's configuration URL and in the page parameters.
static const quint16 HTTP_SERVICE_PORT = 9584;

static const char SINGLE_INSTANCE_KEY[] = "MyApplicationKey";
