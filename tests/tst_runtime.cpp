#include "core/configstore.h"
#include "core/configurl.h"
#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "residentialgateway.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "util/constants.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The proxy runtime with the real core (Debian's v2ray as run/corvane): a start request
// becomes a stored entry, the core fetches it from the HTTP service on 9584, and a request
// through the local SOCKS port reaches a local target via the stand-in gateway.
class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void httpAndSocksUpstreamsRelay();
    void killedClientLeavesNoCoreAndTheNextStartWorks();

private:
    std::unique_ptr<RuntimeFolder> m_folder;
    ResidentialGateway *m_gateway = nullptr;
    TargetServer *m_target = nullptr;
    HttpService *m_service = nullptr;
    V2RayManager *m_manager = nullptr;
};

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool processGone(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    // A zombie has ended; only its parent's bookkeeping is left.
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

void TestRuntime::initTestCase()
{
    m_folder.reset(new RuntimeFolder);
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));

    m_gateway = new ResidentialGateway(this);
    m_gateway->addAccount("vx_demo", "k3yS3cret");
    QVERIFY2(m_gateway->listenHttp(QHostAddress::LocalHost), qPrintable(m_gateway->errorString()));
    QVERIFY2(m_gateway->listenSocks(QHostAddress::LocalHost), qPrintable(m_gateway->errorString()));
    m_target = new TargetServer(this);
    QVERIFY(m_target->isListening());

    m_manager = new V2RayManager(this);
    m_service = new HttpService(m_manager->configStore(), this);
    QVERIFY2(m_service->listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT),
             qPrintable(m_service->errorString()));
    QVERIFY(m_manager->resetConfig());
}

void TestRuntime::cleanupTestCase()
{
    delete m_manager; // stops the core
    m_folder.reset();
}

void TestRuntime::httpAndSocksUpstreamsRelay()
{
    const quint16 httpEntry = freePort();
    const quint16 socksEntry = freePort();
    const auto request = [this](quint16 local, const QString &type, const QString &country) {
        const quint16 upstream = type == "SOCKS" ? m_gateway->socksPort() : m_gateway->httpPort();
        return QJsonObject{{"ip", "127.0.0.1"},      {"port", QString::number(upstream)},
                           {"username", "vx_demo"},  {"password", "k3yS3cret"},
                           {"proxyType", type},      {"local_port", local},
                           {"counrtyList", country}, {"gender", true}};
    };
    QCOMPARE(m_manager->addProxyEntry(request(httpEntry, "HTTP", "US")), httpEntry);
    QCOMPARE(m_manager->addProxyEntry(request(socksEntry, "SOCKS", "JP")), socksEntry);
    m_manager->startV2Ray();

    for (const auto &[port, protocol, country] :
         {std::make_tuple(httpEntry, "http", "US"), std::make_tuple(socksEntry, "socks5", "JP")}) {
        QVERIFY(waitUntilRelays(port, *m_target));
        const GatewayConnection seen = m_gateway->connections().last();
        QCOMPARE(seen.protocol, QString(protocol));
        QCOMPARE(seen.user + '|' + seen.basePassword + '|' + seen.country,
                 QString("vx_demo|k3yS3cret|") + country);
        QVERIFY2(QRegularExpression("^[a-zA-Z0-9]{8}$").match(seen.session).hasMatch(),
                 qPrintable(seen.session));
        QCOMPARE(seen.targetPort, m_target->serverPort());
    }
}

void TestRuntime::killedClientLeavesNoCoreAndTheNextStartWorks()
{
    // The host processes need 9584 for their own core.
    m_manager->stopV2Ray();
    m_service->close();
    const auto reopen =
        qScopeGuard([this] { m_service->listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT); });

    QTemporaryDir hostRuntime;
    QVERIFY(QDir(hostRuntime.path()).mkdir("run"));
    QVERIFY(
        QFile::link(QStandardPaths::findExecutable("v2ray"), hostRuntime.filePath("run/corvane")));
    // A client with one proxy on port in hostRuntime; its core's process id.
    const auto startHost = [&](QProcess &host, quint16 port) -> qint64 {
        host.start(
            QCoreApplication::applicationDirPath() + "/corehost",
            {hostRuntime.path(), QString::number(port), QString::number(m_gateway->httpPort())});
        QByteArray output;
        if (!QTest::qWaitFor(
                [&] { return (output += host.readAllStandardOutput()).contains('\n'); }, 20000))
            qWarning() << "corehost said nothing:" << host.errorString() << host.exitCode();
        return output.mid(output.indexOf("core ") + 5).trimmed().toLongLong();
    };

    QProcess killed;
    const quint16 port = freePort();
    const qint64 corePid = startHost(killed, port);
    QVERIFY(corePid > 0);
    QVERIFY(waitUntilRelays(port, *m_target)); // the core runs with its configuration

    killed.kill(); // SIGKILL: no clean-up code of the host runs
    QVERIFY(killed.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(corePid), 10000);
    QCOMPARE(fetchThroughSocks(port, m_target->serverPort(), 1000), QByteArray());

    // The next client in the same folder finds the configuration the killed one wrote.
    QProcess next;
    const quint16 nextPort = freePort();
    QVERIFY(startHost(next, nextPort) > 0);
    QVERIFY(waitUntilRelays(nextPort, *m_target));
    const QJsonObject stored =
        QJsonDocument::fromJson(ConfigStore(hostRuntime.filePath("run/config.json")).readPlain())
            .object();
    QVERIFY(ProxyEntries::hasEntry(stored, port));
    QVERIFY(ProxyEntries::hasEntry(stored, nextPort));
    next.kill();
    QVERIFY(next.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestRuntime)
#include "tst_runtime.moc"
