#include "bridge/pagecall.h"
#include "core/configstore.h"
#include "core/configurl.h"
#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "residentialgateway.h"
#include "support/handlerrig.h"
#include "support/logcapture.h"
#include "support/permissionsbind.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"
#include "util/constants.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

// Faults from outside while proxies run, through the window's handlers with the real core and
// the stand-in gateway: each loses no entry, and the next change of the proxies recovers.
class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void coreKilledFromOutsideComesBackAtTheNextChange();
    void missingCoreIsLoggedAndTheNextChangeRecovers();
    void takenServicePortIsReportedAndFreedPortRecovers();
    void readOnlyRunFolderKeepsTheProxies();

private:
    QByteArray start(quint16 port) const;
    static QByteArray remove(quint16 port);
    // True when every port in on relays through the gateway and none in off does.
    bool relays(const QList<quint16> &on, const QList<quint16> &off = {}) const;

    std::unique_ptr<RuntimeFolder> m_folder;
    ResidentialGateway *m_gateway = nullptr;
    TargetServer *m_target = nullptr;
};

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

void TestFaults::initTestCase()
{
    m_gateway = new ResidentialGateway(this);
    m_gateway->addAccount("vx_demo", "k3yS3cret");
    QVERIFY(m_gateway->listenHttp(QHostAddress::LocalHost));
    m_target = new TargetServer(this);
}

void TestFaults::init()
{
    m_folder.reset(new RuntimeFolder);
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
}

void TestFaults::cleanup()
{
    m_folder.reset();
}

QByteArray TestFaults::start(quint16 port) const
{
    const QJsonObject request{{"ip", "127.0.0.1"},     {"port", m_gateway->httpPort()},
                              {"username", "vx_demo"}, {"password", "k3yS3cret"},
                              {"proxyType", "HTTP"},   {"local_port", port},
                              {"counrtyList", "US"},   {"gender", true}};
    return QJsonDocument(QJsonObject{{"code", 6}, {"data", request}}).toJson();
}

QByteArray TestFaults::remove(quint16 port)
{
    return R"({"code":5,"data":)" + QByteArray::number(port) + "}";
}

bool TestFaults::relays(const QList<quint16> &on, const QList<quint16> &off) const
{
    for (const quint16 port : on) {
        if (!waitUntilRelays(port, *m_target)) {
            qWarning() << "no relay on" << port;
            return false;
        }
    }
    for (const quint16 port : off) {
        if (!fetchThroughSocks(port, m_target->serverPort(), 1000).isEmpty()) {
            qWarning() << "still relays on" << port;
            return false;
        }
    }
    return true;
}

void TestFaults::coreKilledFromOutsideComesBackAtTheNextChange()
{
    HandlerRig rig;
    const quint16 first = freePort();
    const quint16 second = freePort();
    rig.send(start(first));
    rig.send(start(second));
    QVERIFY(relays({first, second}));

    // Killed, and the next add comes before the client has even seen the core end.
    QCOMPARE(::kill(pid_t(rig.corePid()), SIGKILL), 0);
    const quint16 third = freePort();
    rig.send(start(third));
    QCOMPARE(rig.last(), PageCall::sigSendMessageToJS(third));
    QVERIFY(relays({first, second, third}));

    // Killed and seen to end; meanwhile another program takes one of its ports, so at the
    // next change the core cannot bind it and ends at once, saying why.
    LogCapture log;
    QCOMPARE(::kill(pid_t(rig.corePid()), SIGKILL), 0);
    QTRY_VERIFY(log.contains("V2Ray exited by itself"));
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, first));
    log.clear();
    rig.send(remove(second));
    QCOMPARE(rig.last(), PageCall::sigSendDelRow(second));
    QTRY_VERIFY(log.contains("V2Ray exited by itself"));
    const QString said = log.lines().filter("V2Ray exited by itself").first();
    QVERIFY2(said.contains("exit code:") && said.contains("address already in use") &&
                 said.contains(QString::number(first)),
             qPrintable(said));

    // The port is free again: the next change brings every proxy back, and a restart the
    // client asks for is not reported as an exit of its own.
    other.close();
    rig.send(remove(60777));
    QVERIFY(relays({first, third}, {second}));
    log.clear();
    rig.send(remove(60778)); // stops the running core
    QVERIFY(relays({first, third}));
    QCOMPARE(log.count("V2Ray exited by itself"), 0);
}

void TestFaults::missingCoreIsLoggedAndTheNextChangeRecovers()
{
    QVERIFY(QFile::remove("run/corvane"));
    HandlerRig rig;
    LogCapture log;
    const quint16 first = freePort();
    const quint16 second = freePort();
    rig.send(start(first));
    rig.send(start(second));
    QCOMPARE(log.count("Failed to start the core:"), 2);
    QCOMPARE(rig.scripts.size(), 2); // the page waiting under its overlay has its answer
    const QJsonObject stored =
        QJsonDocument::fromJson(ConfigStore("run/config.json").readPlain()).object();
    QVERIFY(ProxyEntries::hasEntry(stored, first));
    QVERIFY(ProxyEntries::hasEntry(stored, second));

    QVERIFY(m_folder->linkCore());
    rig.send(remove(second));
    QVERIFY(relays({first}, {second}));
}

void TestFaults::takenServicePortIsReportedAndFreedPortRecovers()
{
    QTcpServer other; // another program holds the client's port
    QVERIFY(other.listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT));
    LogCapture log;
    HandlerRig rig;
    const QStringList said = log.lines().filter("HTTP service could not listen on port 9584");
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().contains("in use") && said.first().contains("until the port is free"),
             qPrintable(said.first()));

    // The core would ask the other program for its configuration: it is not started.
    const quint16 port = freePort();
    rig.send(start(port));
    QVERIFY(log.contains("Core not started: the HTTP service is not listening"));
    QCOMPARE(rig.corePid(), qint64(0));

    other.close();
    rig.send(remove(60777));
    QVERIFY(relays({port}));
}

void TestFaults::readOnlyRunFolderKeepsTheProxies()
{
    HandlerRig rig;
    const quint16 kept = freePort();
    rig.send(start(kept));
    QVERIFY(relays({kept}));
    QFile file("run/config.json");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    const QFileDevice::Permissions writable = QFile::permissions("run");
    QVERIFY(QFile::setPermissions("run", QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions("run", writable); });
    {
        PermissionsBind permissions;
        QVERIFY2(permissions.binds(), "cannot drop the capabilities that bypass permissions");
        LogCapture log;
        rig.scripts.clear();
        rig.send(start(freePort()));
        rig.send(remove(kept));
        QCOMPARE(rig.scripts, (QStringList{PageCall::startError(), PageCall::removeFailed()}));
        QCOMPARE(log.count("Failed to open file: "), 2);
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();
    QVERIFY(relays({kept})); // still running, as the page still shows

    QVERIFY(QFile::setPermissions("run", writable));
    rig.send(remove(kept));
    QCOMPARE(rig.last(), PageCall::sigSendDelRow(kept));
    QVERIFY(relays({}, {kept}));
}

VEXALO_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
