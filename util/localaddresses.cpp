#include "localaddresses.h"

namespace LocalAddresses {

QStringList filterIPv4(const QList<InterfaceRecord> &interfaces)
{
    const QNetworkInterface::InterfaceFlags wanted =
        QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanBroadcast |
        QNetworkInterface::CanMulticast;

    QStringList result;
    for (const InterfaceRecord &iface : interfaces) {
        const QString name = iface.humanReadableName.toLower();
        if (name.startsWith(QLatin1String("vmware network adapter")) ||
            name.startsWith(QLatin1String("npcap loopback adapter")))
            continue;
        if (iface.flags != wanted)
            continue;
        for (const QHostAddress &address : iface.addresses) {
            if (address.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const QString text = address.toString();
            if (text != QLatin1String("127.0.0.1"))
                result.append(text);
        }
    }
    return result;
}

QStringList cachedIPv4(QStringList &cache, const std::function<QList<InterfaceRecord>()> &enumerate)
{
    if (cache.isEmpty())
        cache = filterIPv4(enumerate());
    return cache;
}

QList<InterfaceRecord> systemInterfaces()
{
    QList<InterfaceRecord> records;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        InterfaceRecord record{iface.humanReadableName(), iface.flags(), {}};
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries)
            record.addresses.append(entry.ip());
        records.append(record);
    }
    return records;
}

} // namespace LocalAddresses
