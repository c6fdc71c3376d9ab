#include "core/configurl.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "residentialgateway.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "util/commconutils.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

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

void TestRuntime::initTestCase()
{
    m_folder.reset(new RuntimeFolder);
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
    m_gateway = new ResidentialGateway(this);
    m_gateway->addAccount("vx_demo", "k3yS3cret");
    QVERIFY(m_gateway->listenHttp(QHostAddress::LocalHost) &&
            m_gateway->listenSocks(QHostAddress::LocalHost));
    m_target = new TargetServer(this);
    m_manager = new V2RayManager(this);
    m_service = new HttpService(m_manager->configStore(), this);
    QVERIFY2(m_service->listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT),
             qPrintable(m_service->errorString()));
}

void TestRuntime::cleanupTestCase()
{
    delete m_manager; // stops the core
    m_folder.reset();
}

void TestRuntime::httpAndSocksUpstreamsRelay()
{
    const quint16 httpEntry = CommconUtils::getUnusedPort();
    const quint16 socksEntry = CommconUtils::getUnusedPort();
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
        QCOMPARE(seen.protocol + '|' + seen.user + '|' + seen.basePassword + '|' + seen.country,
                 QString(protocol) + "|vx_demo|k3yS3cret|" + country);
        QCOMPARE(seen.session.size(), 8);
    }
}

void TestRuntime::killedClientLeavesNoCoreAndTheNextStartWorks()
{
    // The host processes need 9584 for their own core.
    m_manager->stopV2Ray();
    m_service->close();
    const auto reopen =
        qScopeGuard([this] { m_service->listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT); });

    // A client with one proxy on port in a folder of its own; its core's process id.
    RuntimeFolder hostRuntime;
    QVERIFY2(hostRuntime.isValid(), qPrintable(hostRuntime.error()));
    const auto startHost = [&](QProcess &host, quint16 port, bool asUser) {
        QStringList command{QCoreApplication::applicationDirPath() + "/corehost",
                            hostRuntime.path(), QString::number(port),
                            QString::number(m_gateway->httpPort())};
        // The kernel keeps the parent-death signal of a core that gains a file capability
        // only for root: a client of any other user must end its core all the same.
        if (asUser && ::geteuid() == 0)
            command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} +
                      command;
        host.start(command.takeFirst(), command);
        host.waitForReadyRead(20000); // "core PID" once the core runs, nothing on a failure
        return host.readAllStandardOutput().mid(5).trimmed().toLongLong();
    };
    // A zombie has ended; only its parent's bookkeeping is left.
    const auto gone = [](qint64 pid) {
        QFile stat(QString("/proc/%1/stat").arg(pid));
        const QByteArray fields = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        return fields.isEmpty() || fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
    };

    for (const QString &folder : {hostRuntime.path(), hostRuntime.filePath("run")})
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
    QProcess killed;
    const quint16 port = CommconUtils::getUnusedPort();
    const qint64 corePid = startHost(killed, port, true);
    QVERIFY(corePid > 0);
    QVERIFY(waitUntilRelays(port, *m_target));
    // Its connections are counted from its descriptors, which that user can read.
    if (::geteuid() == 0)
        QCOMPARE(QProcess::execute("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                               "ls", QString("/proc/%1/fd").arg(corePid)}),
                 0);
    killed.kill(); // SIGKILL: no clean-up code of the host runs
    QVERIFY(killed.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(gone(corePid), 10000);
    QCOMPARE(fetchThroughSocks(port, m_target->serverPort(), 1000), QByteArray());

    // The next client in the same folder starts its core on the configuration left behind.
    QProcess next;
    const quint16 nextPort = CommconUtils::getUnusedPort();
    QVERIFY(startHost(next, nextPort, false) > 0);
    QVERIFY(waitUntilRelays(nextPort, *m_target));
    QVERIFY(waitUntilRelays(port, *m_target));
    next.kill();
    QVERIFY(next.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestRuntime)
#include "tst_runtime.moc"
