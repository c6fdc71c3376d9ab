#include "bridge/mainchannel.h"
#include "bridge/pagecall.h"
#include "bridge/pagerequests.h"
#include "core/configstore.h"
#include "core/configurl.h"
#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "residentialgateway.h"
#include "support/fakewebserver.h"
#include "support/handlerrig.h"
#include "support/logcapture.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"
#include "support/urlrecorder.h"
#include "util/commconutils.h"
#include "util/constants.h"
#include "util/logmask.h"
#include "util/updateversion.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>

#ifdef Q_OS_UNIX
#include "support/permissionsbind.h"

#include <csignal>
#endif

// The page handlers with a real settings file, the real core and the stand-in gateway, also
// when the core, the service's port or the run folder fail from outside.
class TestHandlers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parametersAndLoginState();
    void startsAnswerOnceThePortAccepts();
    void changesKeepHeldConnections();
    void failedCoreBringsTheProxiesBack();
    void drainingCoresEndWithTheirConnectionsAndAtTheCap();
    void failedStartsLeaveTheCoreAlone_data();
    void failedStartsLeaveTheCoreAlone();
    void runListAndDelete();
    void logoutStopsAndResets();
    void languageAndOpenUrl();
    void localApiRequest();
    void localApiRequestReachesThePage();
    void ipCheckThenVersionCheck();
    void ipCheckFailures();
    void logMaskHidesEveryValue_data();
    void logMaskHidesEveryValue();
    void logsHideSecrets();

    // Faults from outside while proxies run: each loses no entry, and the next change of the
    // proxies recovers.
#ifdef Q_OS_UNIX
    void coreKilledFromOutsideComesBackAtTheNextChange();
    void readOnlyRunFolderKeepsTheProxies();
#endif
    void takenServicePortIsReportedAndFreedPortRecovers();

private:
    QJsonObject startRequest(const QJsonValue &localPort, bool api = false,
                             const QString &country = "US") const;
    static QByteArray message(int code, const QJsonValue &data);
    QByteArray startMessage(quint16 port) const
    {
        return message(6, startRequest(port));
    }
    static QByteArray removeMessage(int port)
    {
        return message(5, port);
    }
    // True when every port in on relays through the gateway and none in off does.
    bool relays(const QList<quint16> &on, const QList<quint16> &off = {}) const;
    static QJsonObject decoded(const QString &script);

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

int countPath(const FakeWebServer &web, const QByteArray &path)
{
    int n = 0;
    for (const auto &request : web.requests())
        n += request.target.startsWith(path) ? 1 : 0;
    return n;
}

FakeWebServer::Response json(const QByteArray &body)
{
    FakeWebServer::Response response;
    response.body = body;
    return response;
}

} // namespace

void TestHandlers::initTestCase()
{
    m_gateway = new ResidentialGateway(this);
    m_gateway->addAccount("vx_demo", "k3yS3cret");
    QVERIFY(m_gateway->listenHttp(QHostAddress::LocalHost));
    m_target = new TargetServer(this);
}

void TestHandlers::init()
{
    m_folder.reset(new RuntimeFolder);
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
}

void TestHandlers::cleanup()
{
    m_folder.reset();
}

QJsonObject TestHandlers::startRequest(const QJsonValue &localPort, bool api,
                                       const QString &country) const
{
    QJsonObject request{{"ip", "127.0.0.1"},      {"port", m_gateway->httpPort()},
                        {"username", "vx_demo"},  {"password", "k3yS3cret"},
                        {"proxyType", "HTTP"},    {"local_port", localPort},
                        {"counrtyList", country}, {"gender", true}};
    if (api)
        request.insert("API", "true");
    return request;
}

QByteArray TestHandlers::message(int code, const QJsonValue &data)
{
    return QJsonDocument(QJsonObject{{"code", code}, {"data", data}}).toJson();
}

QJsonObject TestHandlers::decoded(const QString &script)
{
    const int open = script.indexOf("('");
    const QByteArray base64 = script.mid(open + 2, script.size() - open - 4).toLatin1();
    return QJsonDocument::fromJson(QByteArray::fromBase64(base64)).object();
}

void TestHandlers::parametersAndLoginState()
{
    HandlerRig rig;
    rig.settings.setValue("settings/language", "_cn"); // as the window stores it at start
    QSignalSpy user(&rig.handlers, &PageHandlers::userChanged);
    rig.send(R"({"code":1,"data":{"username":"ann@example.com","password":"pw"}})");
    QCOMPARE(user.takeFirst().first().toString(), QString("ann@example.com"));
    QVERIFY(rig.last().startsWith("sigIsSendLogin('"));
    const QJsonObject parameters = decoded(rig.last());
    QCOMPARE(parameters.value("URL").toString(), WEBSITE_URL);
    QCOMPARE(parameters.value("httpPort").toInt(), 9584);
    QCOMPARE(parameters.value("language").toString(), QString("_cn"));
    QCOMPARE(parameters.value("localIps").toArray().first().toString(), QString("127.0.0.1"));

    rig.send(R"({"code": 1})"); // the login page sends no data
    QCOMPARE(rig.scripts.size(), 2);
    QCOMPARE(user.count(), 0); // the name stays

    QSettings settings("config.ini", QSettings::IniFormat);
    rig.send(R"({"code":11,"data":{"username":"ann@example.com","password":"pw"}})");
    QCOMPARE(rig.scripts.size(), 2);
    settings.sync();
    QCOMPARE(settings.value("settings/login").toBool(), true);

    rig.send(R"({"code":11,"data":{"username":"ann@example.com","password":""}})");
    QCOMPARE(rig.last(), QString("sigLignOutToJS('_cn')"));
    settings.sync();
    QCOMPARE(settings.value("settings/login").toBool(), false);
}

void TestHandlers::startsAnswerOnceThePortAccepts()
{
    HandlerRig rig;
    const quint16 rotating = freePort();
    rig.send(message(6, startRequest(rotating)));
    QTRY_COMPARE(rig.last(), QString("sigSendMessageToJS(%1)").arg(rotating));
    // The answer comes once the port is seen to work, not when it was asked for.
    QVERIFY(CommconUtils::portAccepts(rotating));
    QVERIFY(waitUntilRelays(rotating, *m_target));
    QCOMPARE(m_gateway->connections().last().country, QString("US"));

    // A start for the local API tells the page nothing.
    const quint16 api = freePort();
    rig.send(message(3, startRequest(api, true)));
    QVERIFY(waitUntilRelays(api, *m_target));
    QVERIFY(waitUntilRelays(rotating, *m_target));
    QCOMPARE(rig.scripts.size(), 1);
}

// Connections held open through one port live through every change of the proxies, while
// new connections of each port go to that port's own upstream.
void TestHandlers::changesKeepHeldConnections()
{
    HandlerRig rig;
    EchoServer echo;
    const quint16 a = freePort();
    const quint16 b = freePort();
    rig.send(message(6, startRequest(a)));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(a));
    HeldConnection held(a, echo.serverPort());
    QVERIFY(held.isOpen());
    QVERIFY(held.echoes());
    const auto countryThrough = [this](quint16 port) {
        return waitUntilRelays(port, *m_target) ? m_gateway->connections().last().country
                                                : QString("no relay");
    };

    rig.send(message(6, startRequest(b, false, "JP")));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(b));
    QVERIFY(held.echoes());
    QCOMPARE(countryThrough(a), QString("US"));
    QCOMPARE(countryThrough(b), QString("JP"));

    rig.send(message(6, startRequest(a, false, "DE"))); // a rewrite of the held port's entry
    QTRY_COMPARE(rig.scripts.size(), 3);
    QCOMPARE(rig.last(), PageCall::sigSendMessageToJS(a));
    QVERIFY(held.echoes());
    QCOMPARE(countryThrough(a), QString("DE"));
    QCOMPARE(countryThrough(b), QString("JP"));

    const qint64 core = rig.corePid();
    rig.send(removeMessage(b)); // closed on the running core: no new one
    QTRY_COMPARE(rig.last(), PageCall::sigSendDelRow(b));
    QVERIFY(!CommconUtils::portAccepts(b));
    QCOMPARE(rig.corePid(), core);
    QVERIFY(held.echoes());

    // A burst of starts, as from parallel local API calls, is made by one or two cores.
    LogCapture log;
    QList<quint16> burst;
    for (int i = 0; i < 10; ++i) {
        burst << freePort();
        rig.send(message(3, startRequest(burst.last(), true)));
    }
    QVERIFY(relays(burst));
    QVERIFY(log.count("Starting the core") <= 2);
    QVERIFY(held.echoes());
    QCOMPARE(countryThrough(a), QString("DE"));
}

// A core that refuses to start is answered as a failure, and the proxies that ran before
// relay again, on the document they had.
void TestHandlers::failedCoreBringsTheProxiesBack()
{
    HandlerRig rig;
    const quint16 kept = freePort();
    rig.send(startMessage(kept));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(kept));
    const QByteArray before = ConfigStore(m_folder->filePath("run/config.json")).readPlain();

    // The core refuses once, as it would a configuration it cannot use, and says why.
    QVERIFY(QFile::remove("run/corvane"));
    QFile wrapper("run/corvane");
    QVERIFY(wrapper.open(QIODevice::WriteOnly));
    wrapper.write("#!/bin/sh\nflag=\"$(dirname \"$0\")/refuse\"\n"
                  "if [ -e \"$flag\" ]; then rm -f \"$flag\"; echo 'listen failed: odd' >&2; "
                  "exit 23; fi\nexec /usr/bin/v2ray \"$@\"\n");
    wrapper.close();
    QVERIFY(wrapper.setPermissions(wrapper.permissions() | QFileDevice::ExeOwner));
    for (int code : {6, 3}) {
        QVERIFY(QFile("run/refuse").open(QIODevice::WriteOnly));
        rig.scripts.clear();
        LogCapture log;
        rig.send(message(code, startRequest(freePort())));
        QTRY_COMPARE(rig.scripts.size(), 1);
        QCOMPARE(rig.last(), code == 6 ? PageCall::startError() : PageCall::startFailed());
        QCOMPARE(log.lines().filter("last error output: \"listen failed: odd\"").size(), 1);
        QCOMPARE(ConfigStore(m_folder->filePath("run/config.json")).readPlain(), before);
        QVERIFY(relays({kept}));
    }
}

// A retired core ends once its clients' connections have, and no more than three drain.
void TestHandlers::drainingCoresEndWithTheirConnectionsAndAtTheCap()
{
    HandlerRig rig;
    EchoServer echo;
    const quint16 a = freePort();
    rig.send(startMessage(a));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(a));
    rig.send(startMessage(freePort())); // nobody holds a connection: the old core ends
    QTRY_COMPARE(rig.scripts.size(), 2);
    QTRY_COMPARE(rig.runtime.drainingProcessIds().size(), 0);

    std::vector<std::unique_ptr<HeldConnection>> held;
    QList<qint64> retired;
    for (int i = 0; i < 4; ++i) {
        held.emplace_back(new HeldConnection(a, echo.serverPort()));
        QVERIFY(held.back()->echoes());
        retired << rig.corePid();
        rig.send(startMessage(freePort()));
        QTRY_COMPARE(rig.scripts.size(), 3 + i);
        QTRY_COMPARE(rig.runtime.drainingProcessIds().size(), qMin(i + 1, 3));
    }
    // The oldest gave way to the fourth, and its connection with it.
    QVERIFY(!rig.runtime.drainingProcessIds().contains(retired.first()));
    QVERIFY(!held.front()->echoes(1000));
    for (size_t i = 1; i < held.size(); ++i)
        QVERIFY(held[i]->echoes());

    held[1]->close();
    QTRY_VERIFY(!rig.runtime.drainingProcessIds().contains(retired[1]));
    QTRY_VERIFY(!QFileInfo::exists(QString("/proc/%1").arg(retired[1])));
    QCOMPARE(rig.runtime.drainingProcessIds().size(), 2);

    // Logout ends them all at once, connections or not.
    rig.send(R"({"code": 7})");
    QCOMPARE(rig.runtime.drainingProcessIds().size(), 0);
    for (qint64 pid : retired)
        QTRY_VERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
    QVERIFY(!held.back()->echoes(1000));
}

void TestHandlers::failedStartsLeaveTheCoreAlone_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("api");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("answer");
    // Held on one address only: the core binds every address of both families, and would not
    // start at all.
    QTest::newRow("rotating, TCP port held on 127.0.0.1") << 6 << false << "tcp"
                                                          << "errormsg('开启错误')";
    QTest::newRow("page start, UDP port held") << 3 << false << "udp"
                                               << "errormsg('开启失败')";
    QTest::newRow("local API start, TCP port held") << 3 << true << "tcp"
                                                    << "";
    QTest::newRow("rotating, TCP port held on IPv6 only") << 6 << false << "tcp6"
                                                          << "errormsg('开启错误')";
    // The core would ask another program on the service's port for its configuration.
    QTest::newRow("service port held by another program") << 6 << false << "service"
                                                          << "errormsg('开启错误')";
    QTest::newRow("core file missing") << 3 << false << "no core"
                                       << "errormsg('开启失败')";
}

void TestHandlers::failedStartsLeaveTheCoreAlone()
{
    QFETCH(int, code);
    QFETCH(bool, api);
    QFETCH(QString, fault);
    QFETCH(QString, answer);
    HandlerRig rig;
    const quint16 port = freePort();
    rig.send(message(6, startRequest(port)));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(port));
    const qint64 running = rig.corePid();
    QFile config("run/config.json");
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray stored = config.readAll();
    config.close();
    rig.scripts.clear();

    QTcpServer tcp;
    QUdpSocket udp;
    QTcpServer service;
    quint16 asked = freePort();
    if (fault == "tcp" || fault == "tcp6") {
        QVERIFY(tcp.listen(fault == "tcp" ? QHostAddress::LocalHost : QHostAddress::AnyIPv6, 0));
        asked = tcp.serverPort();
    } else if (fault == "udp") {
        QVERIFY(udp.bind(QHostAddress(QHostAddress::LocalHost), 0));
        asked = udp.localPort();
    } else if (fault == "service") {
        rig.onServiceThread([&rig] { rig.service.close(); });
        QVERIFY(service.listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT));
    } else {
        QVERIFY(QFile::remove("run/corvane"));
    }
    rig.send(message(code, startRequest(asked, api)));
    QCOMPARE(rig.scripts, answer.isEmpty() ? QStringList() : QStringList{answer});
    QCOMPARE(rig.corePid(), running);
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), stored);
    QVERIFY(waitUntilRelays(port, *m_target));
    // Stopping a proxy is never refused.
    rig.send(removeMessage(port));
    QTRY_COMPARE(rig.last(), PageCall::sigSendDelRow(port));
    QVERIFY(!CommconUtils::portAccepts(port));
}

void TestHandlers::runListAndDelete()
{
    HandlerRig rig;
    const quint16 port = freePort();
    rig.send(message(6, startRequest(port)));
    QVERIFY(waitUntilRelays(port, *m_target));

    rig.send(R"({"code": 4})");
    const QByteArray stored = ConfigStore(m_folder->filePath("run/config.json")).readPlain();
    QCOMPARE(rig.last(), "sigSendRunProxyList('" + QString::fromLatin1(stored.toBase64()) + "')");

    rig.send(QByteArray(R"({"code":5,"data":)") + QByteArray::number(port) + "}");
    QTRY_COMPARE(rig.last(), QString("sigSendDelRow(%1)").arg(port));
    QCOMPARE(fetchThroughSocks(port, m_target->serverPort(), 1000), QByteArray());

    // A port without an entry leaves the core alone and still drops the row.
    const qint64 core = rig.corePid();
    rig.send(R"({"code":5,"data":60777})");
    QTRY_COMPARE(rig.last(), QString("sigSendDelRow(60777)"));
    QCOMPARE(rig.corePid(), core);
}

void TestHandlers::logoutStopsAndResets()
{
    HandlerRig rig;
    rig.settings.setValue("settings/language", "_en");
    QSignalSpy user(&rig.handlers, &PageHandlers::userChanged);
    rig.send(R"({"code":1,"data":{"username":"ann@example.com"}})");
    const quint16 port = freePort();
    rig.send(message(6, startRequest(port)));
    QVERIFY(waitUntilRelays(port, *m_target));

    rig.send(R"({"code": 7})");
    QTRY_COMPARE(rig.last(), QString("sigLignOutToJS('_en')"));
    QCOMPARE(user.last().first().toString(), QString());
    QCOMPARE(rig.corePid(), qint64(0));
    QCOMPARE(ConfigStore(m_folder->filePath("run/config.json")).readPlain(),
             ProxyEntries::templateText());
    QCOMPARE(fetchThroughSocks(port, m_target->serverPort(), 1000), QByteArray());
    QSettings settings("config.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("settings/login").toBool(), false);

    // Signed out, nothing starts, also not the late answer of a local-API request's fetch,
    // and the local API tells its callers why instead of naming a port that never opens.
    rig.scripts.clear();
    QSignalSpy settled(&rig.runtime, &V2RayManager::startSettled);
    rig.send(message(3, startRequest(port, true)));
    rig.send(message(6, startRequest(port)));
    QCOMPARE(rig.scripts, QStringList{PageCall::startError()});
    QCOMPARE(settled.size(), 2);
    QCOMPARE(settled.first().at(2).toString(), QString("not signed in"));
    QCOMPARE(rig.corePid(), qint64(0));
    QCOMPARE(ConfigStore(m_folder->filePath("run/config.json")).readPlain(),
             ProxyEntries::templateText());
    const auto askApi = [] {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, HTTP_SERVICE_PORT);
        client.write("GET /api/get_ip?proxy=60011 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QByteArray answer;
        const bool closed = QTest::qWaitFor(
            [&] {
                answer += client.readAll();
                return client.state() == QAbstractSocket::UnconnectedState;
            },
            5000);
        return closed ? answer + client.readAll() : QByteArray("<still open>");
    };
    QVERIFY(askApi().endsWith("\r\n\r\nnot signed in\n"));

    // Signed in again, a page that is being replaced cannot take a request either.
    rig.send(R"({"code":11,"data":{"username":"ann@example.com","password":"pw"}})");
    rig.handlers.pageLoading();
    QVERIFY(askApi().endsWith("\r\n\r\nthe client is loading its page, try again\n"));
    rig.send(R"({"code":11,"data":{"username":"ann@example.com","password":"pw"}})");
    QVERIFY(askApi().endsWith("\r\n\r\n127.0.0.1:60011"));
}

void TestHandlers::languageAndOpenUrl()
{
    HandlerRig rig;
    rig.send(R"({"code":10,"data":{"language":"_en"}})");
    QCOMPARE(rig.last(), QString("setlanguage('_en')"));
    rig.send(R"({"code":10,"data":{"language":"_fr"}})");
    QCOMPARE(rig.scripts.size(), 1);
    QSettings settings("config.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("settings/language").toString(), QString("_en"));

    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    LogCapture log;
    rig.send(R"({"code":9,"data":{"url":"https://example.com/dl/Vexalo 1.2.exe"}})");
    rig.send(R"({"code":9,"data":{"url":"file:///etc/passwd"}})");
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(recorder.opened, QList<QUrl>{QUrl("https://example.com/dl/Vexalo%201.2.exe")});
    QCOMPARE(log.count("Website opened successfully."), 1);
    QCOMPARE(log.count("Failed to open website."), 1);
}

void TestHandlers::localApiRequest()
{
    // Only "1" asks for a sticky session; a port that is no number asks for none.
    const auto request = [](const QJsonObject &query) {
        return PageRequests::localApiRequest(query);
    };
    const QJsonObject sticky =
        request({{"proxyType", "2"}, {"gender", "1"}, {"proxy", 60005}, {"contry", "US"}});
    QCOMPARE(sticky, (QJsonObject{{"proxyType", "2"},
                                  {"country", ""},
                                  {"gender", true},
                                  {"local_port", 60005},
                                  {"counrtyList", "US"},
                                  {"API", "true"}}));
    QCOMPARE(request({{"gender", "0"}}).value("gender"), QJsonValue(false));
    QCOMPARE(request({{"gender", "true"}}).value("gender"), QJsonValue(false));
    QCOMPARE(request({{"proxy", "abc"}}).value("local_port"), QJsonValue(0));
}

void TestHandlers::localApiRequestReachesThePage()
{
    HandlerRig rig;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, HTTP_SERVICE_PORT);
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.write("GET /api/get_ip?proxyType=2&contry=JP&proxy=60011&gender=1 HTTP/1.1\r\n"
                 "Host: 127.0.0.1:9584\r\n\r\n");
    QTRY_VERIFY(rig.last().startsWith("sigIshttpProxy('"));
    QCOMPARE(decoded(rig.last()).value("local_port").toInt(), 60011);
    QCOMPARE(decoded(rig.last()).value("counrtyList").toString(), QString("JP"));
}

void TestHandlers::ipCheckThenVersionCheck()
{
    FakeWebServer web;
    web.setResponse("/json", json(R"({"query":"203.0.113.7","countryCode":"US","city":"東京"})"));
    // The address comes from the website: it reaches the page as text, never as code.
    web.setResponse(
        "/public/version.txt",
        json(
            R"({"code":"1","result":{"versionNo":"1.2.0","exeUrl":"https://x.example/it's');alert(1);//"}})"));
    HandlerRig rig;
    rig.pointAt(web);
    rig.send(R"({"code":1,"data":{"username":"ann@example.com","password":"pw"}})");
    rig.send(R"({"code": 8})");

    QTRY_COMPARE(rig.scripts.filter("sigCheckIp('").size(), 1);
    QCOMPARE(decoded(rig.scripts.filter("sigCheckIp('").first()).value("city").toString(),
             QString("東京"));
    QTRY_VERIFY(rig.last().startsWith("checkversion("));
    QCOMPARE(rig.last(), QString(R"(checkversion('https://x.example/it\'s\');alert(1);//'))"));
    QCOMPARE(web.requests().first().target, QByteArray("/json"));
    QVERIFY(web.requests().first().header("Authorization").isNull());
}

void TestHandlers::ipCheckFailures()
{
    FakeWebServer web;
    web.setResponse("/public/version.txt", json(R"({"code":"1","result":{"versionNo":"1.0.0"}})"));
    web.setResponse("/html", json("<html>busy</html>"));
    web.setResponse("/json", json(R"({"query":"203.0.113.7","countryCode":"US"})"));
    HandlerRig rig;
    rig.pointAt(web, 1000);
    LogCapture log;

    // Refused connection: logged, no page call, the version check still runs.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    rig.handlers.setIpGeoUrl(QString("http://127.0.0.1:%1/json").arg(closed.serverPort()), 1000);
    closed.close();
    rig.send(R"({"code": 8})");
    QTRY_COMPARE(countPath(web, "/public/version.txt"), 1);
    QVERIFY(log.contains("Error: "));

    // Not JSON: no page call and no version check, as the next good check shows.
    rig.handlers.setIpGeoUrl(web.url("/html"), 1000);
    rig.send(R"({"code": 8})");
    QTRY_VERIFY(log.contains("Failed to parse JSON: "));
    rig.handlers.setIpGeoUrl(web.url("/json"), 1000);
    rig.send(R"({"code": 8})");
    QTRY_COMPARE(countPath(web, "/public/version.txt"), 2);
    QCOMPARE(rig.scripts.filter("sigCheckIp").size(), 1);

    // An answer that keeps trickling past the deadline, and one too large for an IP report:
    // both are errors, and the version check still runs.
    FakeWebServer::Response trickle = json(R"({"query":"203.0.113.9","countryCode":"US"})");
    trickle.trickleMs = 50;
    web.setResponse("/trickle", trickle);
    const QJsonObject big{{"query", "203.0.113.8"}, {"pad", QString(70000, 'x')}};
    web.setResponse("/big", json(QJsonDocument(big).toJson()));
    rig.handlers.setIpGeoUrl(web.url("/trickle"), 1000);
    rig.send(R"({"code": 8})");
    QTRY_VERIFY(log.contains("Error:  \"no complete answer within 1000 ms\""));
    rig.handlers.setIpGeoUrl(web.url("/big"), 1000);
    rig.send(R"({"code": 8})");
    QTRY_VERIFY(log.contains("Error:  \"answer larger than 65536 bytes\""));
    QTRY_COMPARE(countPath(web, "/public/version.txt"), 4);
    QCOMPARE(rig.scripts.filter("sigCheckIp").size(), 1);
}

void TestHandlers::logMaskHidesEveryValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    QTest::newRow("string holding escaped quotes") << R"({"password":"s3\"cr\\\"et","x":"a\"b"})"
                                                   << R"({"password":"***","x":"a\"b"})";
    QTest::newRow("number, layout kept") << "{ \"password\" :\n\t-12.5e3 ,\"a\":1}"
                                         << "{ \"password\" :\n\t\"***\" ,\"a\":1}";
    QTest::newRow("object holding further keys")
        << R"({"code":3,"data":{"proxy_authkey":{"a b":1,"c":"k3yS3cret"},"port":8}})"
        << R"({"code":3,"data":{"proxy_authkey":"***","port":8}})";
    QTest::newRow("array") << R"({"password":["k3y", {"b":[1,"S3c]"]}] ,"n":[2]})"
                           << R"({"password":"***" ,"n":[2]})";
    QTest::newRow("true, false and null")
        << R"({"password":true,"proxy_authkey":null,"x":{"password":false}})"
        << R"({"password":"***","proxy_authkey":"***","x":{"password":"***"}})";
    QTest::newRow("key written with escapes")
        << R"({"pass\u0077ord":"k3y","proxy\_authkey":"S3c","pass\tword":1})"
        << R"({"pass\u0077ord":"***","proxy\_authkey":"***","pass\tword":1})";
    QTest::newRow("repeated key") << R"({"password":"k3y","a":0,"password":"S3c"})"
                                  << R"({"password":"***","a":0,"password":"***"})";
    QTest::newRow("quote inside a key or string is no key")
        << R"({"a\"password":"x","b":"\"password\":\"y\\","c":"z"})"
        << R"({"a\"password":"x","b":"\"password\":\"y\\","c":"z"})";
    QTest::newRow("cut off inside an object") << R"({"code":3,"data":{"password":{"k":"k3y S3c)"
                                              << R"({"code":3,"data":{"password":"***")";
    QTest::newRow("not JSON after the key") << R"({"password": k3y S3c"t,x" ,"a":1})"
                                            << R"({"password": "***" ,"a":1})";
}

// The text form keeps the page's own writing apart from the secrets; where the text is
// JSON, the parsed form masks the same values.
void TestHandlers::logMaskHidesEveryValue()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(LogMask::maskedText(text), shown);

    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (document.isObject())
        QCOMPARE(LogMask::masked(document.object()),
                 QJsonDocument::fromJson(shown.toUtf8()).object());
}

void TestHandlers::logsHideSecrets()
{
    HandlerRig rig;
    LogCapture log;
    QJsonObject request = startRequest("bad");
    request.insert("proxy_authkey", "k3yS3cret");
    rig.send(message(3, request));
    rig.send(R"({"code":1,"data":{"username":"ann@example.com","password":"pw-9x"}})");
    rig.send(R"({"code":2,"data":"t0ken-7q"})");
    const QString all = log.lines().join('\n');
    QVERIFY(!all.contains("k3yS3cret"));
    QVERIFY(!all.contains("pw-9x"));
    QVERIFY(!all.contains("t0ken-7q"));
    QVERIFY(log.contains("Sending data to JavaScript: \"***\""));
    QVERIFY(log.contains("Sending data "));
    QVERIFY(log.contains("password \"***\""));
}

bool TestHandlers::relays(const QList<quint16> &on, const QList<quint16> &off) const
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

#ifdef Q_OS_UNIX
void TestHandlers::coreKilledFromOutsideComesBackAtTheNextChange()
{
    HandlerRig rig;
    const quint16 first = freePort();
    const quint16 second = freePort();
    rig.send(startMessage(first));
    rig.send(startMessage(second));
    QVERIFY(relays({first, second}));

    // Killed, and the next add comes before the client has even seen the core end.
    QCOMPARE(::kill(pid_t(rig.corePid()), SIGKILL), 0);
    const quint16 third = freePort();
    rig.send(startMessage(third));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(third));
    QVERIFY(relays({first, second, third}));

    // Killed and seen to end, which is logged: the next start brings every proxy back.
    LogCapture log;
    QCOMPARE(::kill(pid_t(rig.corePid()), SIGKILL), 0);
    QTRY_VERIFY(log.contains("V2Ray exited by itself"));
    const quint16 fourth = freePort();
    rig.send(startMessage(fourth));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(fourth));
    QVERIFY(relays({first, second, third, fourth}));

    // A change the client makes itself is not reported as an exit of the core's own.
    log.clear();
    rig.send(startMessage(freePort()));
    QTRY_COMPARE(rig.scripts.size(), 5);
    QVERIFY(relays({first, third}));
    QCOMPARE(log.count("V2Ray exited by itself"), 0);
}

void TestHandlers::readOnlyRunFolderKeepsTheProxies()
{
    HandlerRig rig;
    const quint16 kept = freePort();
    rig.send(startMessage(kept));
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
        const qint64 core = rig.corePid();
        rig.send(startMessage(freePort()));
        rig.send(removeMessage(kept));
        QTRY_COMPARE(rig.scripts, (QStringList{PageCall::startError(), PageCall::removeFailed()}));
        QCOMPARE(log.count("Failed to open file: "), 2);
        QCOMPARE(rig.corePid(), core); // not restarted on the file it could not replace
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();
    QVERIFY(relays({kept})); // still running, as the page still shows

    QVERIFY(QFile::setPermissions("run", writable));
    rig.send(removeMessage(kept));
    QTRY_COMPARE(rig.last(), PageCall::sigSendDelRow(kept));
    QVERIFY(relays({}, {kept}));
}
#endif

void TestHandlers::takenServicePortIsReportedAndFreedPortRecovers()
{
    QTcpServer other; // another program holds the client's port
    QVERIFY(other.listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT));
    LogCapture log;
    HandlerRig rig;
    const QStringList said = log.lines().filter("HTTP service could not listen on port 9584");
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().contains("in use") && said.first().contains("until the port is free"),
             qPrintable(said.first()));

    // The core would ask the other program for its configuration: the start is refused.
    const quint16 port = freePort();
    rig.send(startMessage(port));
    QVERIFY(log.contains("Core not started: the HTTP service is not listening"));
    QCOMPARE(rig.last(), PageCall::startError());
    QCOMPARE(rig.corePid(), qint64(0));

    other.close();
    rig.send(startMessage(port));
    QTRY_COMPARE(rig.last(), PageCall::sigSendMessageToJS(port));
    QVERIFY(relays({port}));
}

VEXALO_TEST_MAIN(TestHandlers)
#include "tst_handlers.moc"
