#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Small platform chores, all static: a free local port, the machine's IPv4 addresses,
// and the two steps that must run before any window exists.
class CommconUtils : public QObject
{
    Q_OBJECT

public:
    static void initApplication(bool desktopSettingsAware);
    static void showError(const QString &text);

    // 0 when no port could be bound. The port is not held; the caller binds it later.
    static quint16 getUnusedPort();
    static QStringList getLocalIPv4List();
};
