#pragma once

#include <QString>

static const QString APP_TITLE_FORMAT = QStringLiteral("Vexalo v%1 ");

static const char SINGLE_INSTANCE_KEY[] = "MyApplicationKey";
