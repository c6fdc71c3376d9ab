#include "util/commconutils.h"
#include "util/localaddresses.h"

#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

class TestLocalAddresses : public QObject
{
    Q_OBJECT

private slots:
    void filter();
    void cacheKeepsFirstNonEmptyResult();
    void portsAreFreeOnEveryAddress();
};

namespace {

using Flags = QNetworkInterface::InterfaceFlags;
const Flags lan = QNetworkInterface::IsUp | QNetworkInterface::IsRunning |
                  QNetworkInterface::CanBroadcast | QNetworkInterface::CanMulticast;

InterfaceRecord iface(const QString &name, Flags flags, const QStringList &addresses)
{
    InterfaceRecord record{name, flags, {}};
    for (const QString &address : addresses)
        record.addresses.append(QHostAddress(address));
    return record;
}

} // namespace

void TestLocalAddresses::filter()
{
    using LocalAddresses::filterIPv4;
    QCOMPARE(filterIPv4(
                 {iface("Ethernet", lan, {"fe80::1", "192.168.1.20", "10.0.0.5", "2001:db8::2"})}),
             (QStringList{"192.168.1.20", "10.0.0.5"})); // IPv4 only, in order
    // The VMware and Npcap adapters go in any case, not a name merely containing VMware.
    QCOMPARE(filterIPv4({iface("VMware Network Adapter VMnet8", lan, {"192.168.56.1"}),
                         iface("npcap loopback adapter", lan, {"169.254.1.1"}),
                         iface("Ethernet (VMware Network Adapter)", lan, {"10.1.1.1"})}),
             QStringList{"10.1.1.1"});
    // A point-to-point VPN, a loopback interface and 127.0.0.1 go, not 127.0.1.1.
    QCOMPARE(filterIPv4({iface("tun0", lan | QNetworkInterface::IsPointToPoint, {"10.8.0.2"}),
                         iface("lo", lan | QNetworkInterface::IsLoopBack, {"127.0.1.1"}),
                         iface("eth0", lan, {"127.0.0.1", "127.0.1.1"})}),
             QStringList{"127.0.1.1"});
}

void TestLocalAddresses::cacheKeepsFirstNonEmptyResult()
{
    QList<InterfaceRecord> machine;
    int enumerations = 0;
    const auto enumerate = [&] {
        ++enumerations;
        return machine;
    };
    QStringList cache;
    // Offline: nothing is cached, so the next call looks again; once found, the list stays
    // even though the machine changed.
    QCOMPARE(LocalAddresses::cachedIPv4(cache, enumerate), QStringList());
    machine = {iface("eth0", lan, {"192.168.1.20"})};
    QCOMPARE(LocalAddresses::cachedIPv4(cache, enumerate), QStringList{"192.168.1.20"});
    machine = {iface("eth0", lan, {"192.168.9.9"})};
    QCOMPARE(LocalAddresses::cachedIPv4(cache, enumerate), QStringList{"192.168.1.20"});
    QCOMPARE(enumerations, 2);
}

void TestLocalAddresses::portsAreFreeOnEveryAddress()
{
    // The core binds its ports on 0.0.0.0, TCP and UDP: a port another program holds on
    // 127.0.0.1 only, or for UDP only, is not free.
    const quint16 port = CommconUtils::getUnusedPort();
    QVERIFY(CommconUtils::isPortFree(port));
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::AnyIPv4, port));
    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress));

    QTcpServer tcp;
    QVERIFY(tcp.listen(QHostAddress::LocalHost, 0));
    QVERIFY(!CommconUtils::isPortFree(tcp.serverPort()));
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(!CommconUtils::isPortFree(udp.localPort()));
    QVERIFY(!CommconUtils::isPortFree(0));
}

QTEST_GUILESS_MAIN(TestLocalAddresses)
#include "tst_localaddresses.moc"
