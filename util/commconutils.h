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

    // A port that can be bound on every local address, TCP and UDP, as the core's inbounds
    // bind it; 0 when none was found. The port is not held; the caller binds it later.
    static quint16 getUnusedPort();
    // Whether the core could bind the port now (TCP and UDP, on every local address).
    static bool isPortFree(quint16 port);
    // Whether something accepts TCP connections on the port on 127.0.0.1 now.
    static bool portAccepts(quint16 port);
    static QStringList getLocalIPv4List();
};
