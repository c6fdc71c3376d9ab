#pragma once

#include "buildconfig.h"

#include <QByteArray>
#include <QString>

// Values shared by several modules. Each including file gets its own copy.
static const QString APP_VERSION = QStringLiteral("1.0.0");
// The vendor's website: the account service's base URL and where the version document lives.
static const QString WEBSITE_URL = QStringLiteral(VEXALO_WEBSITE_URL);

// The configuration cipher uses these as ASCII bytes, not as decoded hex.
static const QByteArray AES_KEY = QByteArrayLiteral("e4a17c0b93d25f68a0c4e71b2d9f3865");
static const QByteArray AES_IV = QByteArrayLiteral("71c3e9a05bd4f286");
