#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>

#include <functional>

// What the address filter needs to know of one network interface; the Qt glue fills it
// from QNetworkInterface, tests fill it by hand.
struct InterfaceRecord
{
    QString humanReadableName;
    QNetworkInterface::InterfaceFlags flags;
    QList<QHostAddress> addresses;
};

namespace LocalAddresses {

// The IPv4 addresses under which local proxies can be reached from the LAN: only interfaces
// that are up, running, broadcast- and multicast-capable (no loopback, no point-to-point
// VPN), not the VMware host-only adapters nor the Npcap loopback, and never 127.0.0.1.
QStringList filterIPv4(const QList<InterfaceRecord> &interfaces);

// Returns the cache when it holds anything; otherwise enumerates, filters and caches.
// An empty result is not cached, so a machine that comes online later is seen.
QStringList cachedIPv4(QStringList &cache,
                       const std::function<QList<InterfaceRecord>()> &enumerate);

QList<InterfaceRecord> systemInterfaces();

} // namespace LocalAddresses
