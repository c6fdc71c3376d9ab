#include "core/configstore.h"
#include "core/coreapi.h"
#include "core/proxyentries.h"
#include "http/httprequest.h"
#include "http/httproutes.h"
#include "http/httpservice.h"
#include "util/commconutils.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

// The service on an ephemeral port, with a stored configuration in a temporary folder.
namespace {

class Service : public HttpService
{
public:
    using HttpService::HttpService;
    using HttpService::incomingConnection;
};

QByteArray plain(const QByteArray &status, const QByteArray &body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\n\r\n" + body;
}

QByteArray apiGet(const QByteArray &query)
{
    return "GET /api/get_ip?" + query + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

} // namespace

class TestHttpService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void headParsedAtAnySplit();
    void hostRule_data();
    void hostRule();

    void answers_data();
    void answers();
    void apiSignalCarriesTheQuery();
    void stalledClientDelaysNobodyAndIsClosed();
    void configOnlyForThisMachine();
    void configOnlyForThisUser();
    void configWithTheCoreApi();
    void unreadAnswerDroppedAtWriteDeadline();
    void waitingCallersAnsweredByTheStart();
    void noFreePortRefused();

private:
    QByteArray exchange(const QList<QByteArray> &pieces,
                        const QHostAddress &host = QHostAddress::LocalHost);
    // A caller whose request is on its way; answerOf() reads what it is answered.
    std::unique_ptr<QTcpSocket> ask(const QByteArray &query);
    static QByteArray answerOf(QTcpSocket &client);

    QTemporaryDir m_dir;
    ConfigStore m_store{m_dir.filePath("run/config.json")};
    Service *m_service = nullptr;
    QByteArray m_config;
    QTcpServer m_otherProgram;
    QTcpServer m_core;
};

void TestHttpService::initTestCase()
{
    QVERIFY(QDir(m_dir.path()).mkdir("run"));
    QJsonObject root = QJsonDocument::fromJson(ProxyEntries::templateText()).object();
    ProxyEntries::appendEntry(root, 60001, QJsonObject{{"address", "gw"}, {"port", 1}}, {});
    QVERIFY(m_store.store(root));
    m_config = QJsonDocument(root).toJson();

    m_service = new Service(&m_store, this);
    QVERIFY(m_service->listen(QHostAddress::Any, 0));
    m_service->setLocalApiState(HttpService::LocalApiState::Open);
    QVERIFY(m_otherProgram.listen(QHostAddress::LocalHost, 0));
    // The port of the stored entry, held as the client's own core holds it: still answered.
    QVERIFY(m_core.listen(QHostAddress::AnyIPv4, 60001));
}

QByteArray TestHttpService::exchange(const QList<QByteArray> &pieces, const QHostAddress &host)
{
    QTcpSocket client;
    client.connectToHost(host, m_service->serverPort());
    if (!QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000))
        return "<no connection>";
    for (const QByteArray &piece : pieces) {
        client.write(piece);
        if (!QTest::qWaitFor([&] { return client.bytesToWrite() == 0; }, 5000))
            return "<not sent>";
        if (pieces.size() > 1)
            QTest::qWait(30); // let each piece arrive as a segment of its own
    }
    return answerOf(client);
}

std::unique_ptr<QTcpSocket> TestHttpService::ask(const QByteArray &query)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, m_service->serverPort());
    client->write(apiGet(query));
    return client;
}

QByteArray TestHttpService::answerOf(QTcpSocket &client)
{
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        },
        15000);
    return closed ? answer + client.readAll() : "<still open>";
}

void TestHttpService::headParsedAtAnySplit()
{
    const QByteArray request = "GET /api/get_ip?proxy=60005 HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n"
                               "Sec-Fetch-Site: none\r\n\r\nbody";
    const int headLength = request.indexOf("body");
    for (int split = 0; split < request.size(); ++split) {
        const HttpHeadParse partial = parseHttpHead(request.left(split));
        QCOMPARE(partial.status,
                 split < headLength ? HttpHeadParse::Incomplete : HttpHeadParse::Ok);
    }
    const HttpHeadParse whole = parseHttpHead(request);
    QCOMPARE(whole.consumed, headLength);
    QCOMPARE(whole.head.method, QByteArray("GET"));
    QCOMPARE(whole.head.target, QByteArray("/api/get_ip?proxy=60005"));
    QCOMPARE(whole.head.header("host"), QByteArray("127.0.0.1:9584"));
    QCOMPARE(whole.head.header("SEC-FETCH-SITE"), QByteArray("none"));

    const QByteArray bare = "GET /index HTTP/1.0\n\n";
    QCOMPARE(parseHttpHead(bare).status, HttpHeadParse::Ok);
    QCOMPARE(parseHttpHead(QByteArray(20000, 'a')).status, HttpHeadParse::Bad);
    QCOMPARE(parseHttpHead("GET / HTTP/1.1\r\nX: " + QByteArray(17000, 'a') + "\r\n\r\n").status,
             HttpHeadParse::Bad);
}

void TestHttpService::hostRule_data()
{
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<bool>("accepted");
    const auto row = [](const char *name, const QByteArray &fields, bool accepted) {
        QTest::newRow(name) << fields << accepted;
    };
    row("LAN address", "host: 192.168.1.20", true);
    row("the same Host twice", "Host: localhost\r\nHost: LocalHost", true);
    row("localhost as a subdomain", "Host: localhost.evil.example", false);
    row("address as a subdomain", "Host: 127.0.0.1.nip.io", false);
    row("short IPv4 form", "Host: 127.1", false);
    row("IPv6 without brackets", "Host: ::1", false);
    row("garbage after the port", "Host: 127.0.0.1:9584x", false);
    row("empty Host", "Host:", false);
}

void TestHttpService::hostRule()
{
    QFETCH(QByteArray, fields);
    QFETCH(bool, accepted);
    const HttpHeadParse parsed = parseHttpHead("GET /index HTTP/1.1\r\n" + fields + "\r\n\r\n");
    QCOMPARE(parsed.status, HttpHeadParse::Ok);
    QCOMPARE(HttpRoutes::hasLiteralHost(parsed.head), accepted);
}

void TestHttpService::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("logged");
    const auto row = [](const char *name, const QByteArray &request, const QByteArray &expected,
                        const QByteArray &logged = QByteArray()) {
        QTest::newRow(name) << request << expected << logged;
    };
    const QByteArray host = "Host: 127.0.0.1:9584\r\n";
    const auto get = [&host](const QByteArray &target, const QByteArray &fields = QByteArray()) {
        return "GET " + target + " HTTP/1.1\r\n" + host + fields + "\r\n";
    };
    const QByteArray notFound = plain("404 Not Found", "404 Not Found");
    const QByteArray forbidden = plain("403 Forbidden", "403 Forbidden");
    const QByteArray badProxy =
        plain("400 Bad Request", "proxy must be a port number from 1 to 65535\n");
    const QByteArray index = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
                             "<html><body><h1>Hello, Index!</h1></body></html>";
    const QByteArray config =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + m_config;
    // What a page on a name that its owner points at 127.0.0.1 sends to its "own" server.
    const QByteArray rebound = "Host: rebound.example:9584\r\nSec-Fetch-Site: same-origin\r\n";

    row("index", get("/index"), index);
    row("config as the core asks", get("/xray_config.json", "User-Agent: Go-http-client/1.1\r\n"),
        config);
    row("config, API port not a number", get("/xray_config.json?api=abc"), config);
    row("config, API port 0", get("/xray_config.json?api=0"), config);
    row("config, IPv6 loopback", "GET /xray_config.json HTTP/1.1\r\nHost: [::1]:9584\r\n\r\n",
        config);
    row("routes tried in order", get("/xray_config.json?x=/index"), index);
    row("config from a page", get("/xray_config.json", "Origin: https://evil.example\r\n"),
        forbidden);
    row("api from a page", get("/api/get_ip?proxy=60001", "Sec-Fetch-Site: cross-site\r\n"),
        forbidden);
    row("api from a page of another port",
        get("/api/get_ip?proxy=60001", "Sec-Fetch-Site: same-site\r\n"), forbidden);
    row("api typed in the address bar", get("/api/get_ip?proxy=60001", "Sec-Fetch-Site: none\r\n"),
        plain("200 OK", "127.0.0.1:60001"));
    row("api over HTTP/1.0",
        "GET /api/get_ip?proxy=60005&proxyType=SOCKS HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n",
        plain("200 OK", "127.0.0.1:60005"));
    row("proxy 65535", get("/api/get_ip?proxy=65535"), plain("200 OK", "127.0.0.1:65535"));
    // Held on 127.0.0.1 only: the core binds every address and could not open it.
    const QByteArray held = QByteArray::number(m_otherProgram.serverPort());
    row("port another program holds", get("/api/get_ip?proxy=" + held),
        plain("409 Conflict", "local port " + held + " is in use by another program\n"));
    row("proxy not a number", get("/api/get_ip?proxy=abc"), badProxy);
    row("proxy 0", get("/api/get_ip?proxy=0"), badProxy);
    row("proxy 65536", get("/api/get_ip?proxy=65536"), badProxy);
    row("wait other than 1", get("/api/get_ip?proxy=60007&wait=true"),
        plain("200 OK", "127.0.0.1:60007"));
    row("waiting caller with a bad port", get("/api/get_ip?proxy=abc&wait=1"), badProxy);
    row("POST", "POST /xray_config.json HTTP/1.1\r\n" + host + "\r\n", notFound);

    // No route answers a name other than localhost, whatever else the request holds.
    row("api, rebound name", "GET /api/get_ip?proxy=60001 HTTP/1.1\r\n" + rebound + "\r\n",
        forbidden, "Refused HTTP request: Host \"rebound.example:9584\"");
    row("config, rebound name", "GET /xray_config.json HTTP/1.1\r\n" + rebound + "\r\n", forbidden);
    row("api without Host", "GET /api/get_ip?proxy=60001 HTTP/1.1\r\n\r\n",
        plain("400 Bad Request", "Host header required\n"), "Refused HTTP request: Host \"\"");
    // No browser sends a request without Host; the simplest callers do.
    row("api over HTTP/1.0 without Host", "GET /api/get_ip?proxy=60005 HTTP/1.0\r\n\r\n",
        plain("200 OK", "127.0.0.1:60005"));
    row("index over HTTP/1.0 without Host", "GET /index HTTP/1.0\r\n\r\n", index);
    row("config over HTTP/1.0 without Host", "GET /xray_config.json HTTP/1.0\r\n\r\n", forbidden);
    // Browsers that let pages reach the unspecified address send it no Origin.
    row("api, 0.0.0.0", "GET /api/get_ip?proxy=60001 HTTP/1.1\r\nHost: 0.0.0.0:9584\r\n\r\n",
        forbidden);
    row("api, [::]", "GET /api/get_ip?proxy=60001 HTTP/1.1\r\nHost: [::]:9584\r\n\r\n", forbidden);
    row("api, [0:0::0]", "GET /api/get_ip?proxy=60001 HTTP/1.1\r\nHost: [0:0::0]\r\n\r\n",
        forbidden);
    row("api, mapped 0.0.0.0",
        "GET /api/get_ip?proxy=60001 HTTP/1.1\r\nHost: [::ffff:0.0.0.0]\r\n\r\n", forbidden);
    row("api, 000.0.0.0", "GET /api/get_ip?proxy=60001 HTTP/1.1\r\nHost: 000.0.0.0\r\n\r\n",
        forbidden);
    // From this machine, a page reached through the LAN address sends no Origin either.
    row("api from here, LAN address",
        "GET /api/get_ip?proxy=60001 HTTP/1.1\r\nHost: 192.168.1.5:9584\r\n\r\n", forbidden);
    row("api, second Host disagrees", get("/api/get_ip?proxy=60001", "Host: rebound.example\r\n"),
        forbidden, "Refused HTTP request: Host \"127.0.0.1:9584, rebound.example\"");
    row("credentials kept out of the log",
        get("/index", "Authorization: Basic dng6cHc=\r\nCookie: pw=1\r\n"), index,
        R"(Received HTTP request: "GET /index HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n)"
        R"(Authorization: ***\r\nCookie: ***\r\n\r\n")");
}

void TestHttpService::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, logged);
    if (!logged.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, logged.constData());
    QSignalSpy api(m_service, &HttpService::sigIshttpProxy);
    QCOMPARE(exchange({request}), expected);
    QCOMPARE(api.count(), expected.contains("text/plain\r\n\r\n127.0.0.1:") ? 1 : 0);
}

void TestHttpService::apiSignalCarriesTheQuery()
{
    QSignalSpy api(m_service, &HttpService::sigIshttpProxy);
    exchange({"GET /api/get_ip?proxy=60005&proxyType=SOCKS&contry=US&gender=1&name=a%20b+c "
              "HTTP/1.1\r\nHost: localhost\r\n\r\n"});
    QCOMPARE(api.takeFirst().first().toJsonObject(), (QJsonObject{{"proxy", 60005},
                                                                  {"proxyType", "SOCKS"},
                                                                  {"contry", "US"},
                                                                  {"gender", "1"},
                                                                  {"name", "a b+c"}}));

    // Without a port, one that no entry uses and the core can bind.
    const QByteArray answer =
        exchange({"GET /api/get_ip?proxy=&contry=JP HTTP/1.1\r\nHost: localhost\r\n\r\n"});
    const QJsonValue port = api.takeFirst().first().toJsonObject().value("proxy");
    QVERIFY(port.isDouble() && port.toInt() != 60001 && CommconUtils::isPortFree(port.toInt()));
    QVERIFY(answer.endsWith("\r\n\r\n127.0.0.1:" + QByteArray::number(port.toInt())));
}

void TestHttpService::stalledClientDelaysNobodyAndIsClosed()
{
    // Single-shot timers without an object of their own belong to the event dispatcher.
    const int dispatcherChildren = QAbstractEventDispatcher::instance()->children().size();
    m_service->setHeaderTimeout(1000);
    const auto restore = qScopeGuard([this] { m_service->setHeaderTimeout(10000); });
    QTcpSocket stalled;
    stalled.connectToHost(QHostAddress::LocalHost, m_service->serverPort());
    QTRY_COMPARE(stalled.state(), QAbstractSocket::ConnectedState);
    stalled.write("GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n");

    const QByteArray answer = exchange({"GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
    QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\n"));
    QCOMPARE(stalled.state(), QAbstractSocket::ConnectedState);

    QTRY_COMPARE_WITH_TIMEOUT(stalled.state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(stalled.readAll(), QByteArray());
    // Nothing of a connection outlives it: neither its socket nor its header timer.
    QTRY_VERIFY(m_service->findChildren<QTcpSocket *>().isEmpty());
    QCOMPARE(QAbstractEventDispatcher::instance()->children().size(), dispatcherChildren);
}

void TestHttpService::configOnlyForThisMachine()
{
    // The peer of one end of a socket pair has no address: a peer that is not loopback.
    const auto fromElsewhere = [this](const QByteArray &request) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            return QByteArray("<no socket pair>");
        m_service->incomingConnection(ends[0]);
        QByteArray answer;
        bool closed = false;
        if (::write(ends[1], request.constData(), size_t(request.size())) == request.size()) {
            closed = QTest::qWaitFor(
                [&] {
                    char buffer[4096];
                    ssize_t n = 0;
                    while ((n = ::recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                        answer.append(buffer, int(n));
                    return n == 0;
                },
                5000);
        }
        ::close(ends[1]);
        return closed ? answer : "<still open>";
    };
    const QByteArray config =
        fromElsewhere("GET /xray_config.json HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n\r\n");
    QVERIFY2(config.startsWith("HTTP/1.1 403 Forbidden"), config.constData());
    // The API stays open to the local network, for programs that name this machine by address.
    const QByteArray api =
        fromElsewhere("GET /api/get_ip?proxy=60009 HTTP/1.1\r\nHost: 192.168.1.5:9584\r\n\r\n");
    QVERIFY2(api.endsWith("127.0.0.1:60009"), api.constData());
}

void TestHttpService::configOnlyForThisUser()
{
    const QByteArray request = "GET /xray_config.json HTTP/1.1\r\nHost: localhost\r\n\r\n";
    // The peer's owner is looked up over IPv6 as over IPv4.
    QVERIFY(exchange({request}, QHostAddress::LocalHostIPv6).startsWith("HTTP/1.1 200 OK"));
    if (::geteuid() != 0)
        QSKIP("asking as another user needs root");
    QProcess other;
    other.setProcessChannelMode(QProcess::MergedChannels);
    other.start("setpriv",
                {"--reuid=65534", "--regid=65534", "--clear-groups", "curl", "-si",
                 QString("http://127.0.0.1:%1/xray_config.json").arg(m_service->serverPort())});
    QTest::ignoreMessage(QtDebugMsg,
                         "Refused HTTP request: the configuration was asked for by another user");
    QVERIFY(QTest::qWaitFor([&] { return other.state() == QProcess::NotRunning; }, 15000));
    const QByteArray answer = other.readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 403 Forbidden"), answer.constData());
}

void TestHttpService::configWithTheCoreApi()
{
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";
    const QByteArray answer =
        exchange({"GET /xray_config.json?api=17001 HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n\r\n"});
    QVERIFY2(answer.startsWith(head), answer.constData());
    const QJsonObject served = QJsonDocument::fromJson(answer.mid(head.size())).object();
    const QJsonArray inbounds = served.value("inbounds").toArray();
    QCOMPARE(inbounds.size(), 2);
    QCOMPARE(inbounds.at(0).toObject().value("tag").toString(), ProxyEntries::inboundTag(60001));
    QCOMPARE(inbounds.at(1).toObject().value("tag").toString(), QString("api"));
    QCOMPARE(inbounds.at(1).toObject().value("port").toInt(), 17001);
    QCOMPARE(served, CoreApi::withApi(QJsonDocument::fromJson(m_config).object(), 17001));

    // Only what is served has the API: the store and the plain route keep the document.
    QCOMPARE(m_store.readPlain(), m_config);
    QCOMPARE(exchange({"GET /xray_config.json HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n\r\n"}),
             head + m_config);
}

void TestHttpService::unreadAnswerDroppedAtWriteDeadline()
{
    // An answer far larger than the socket buffers of both ends.
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("run"));
    const QByteArray document = "{\"padding\": \"" + QByteArray(9 * 1024 * 1024, 'x') + "\"}";
    const ConfigStore large(dir.filePath("run/config.json"));
    QVERIFY(large.storePlain(document));
    const QByteArray whole = HttpRoutes::configAnswer(document);
    QVERIFY(whole.size() > 8 * 1024 * 1024);

    HttpService service(&large);
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    service.setWriteTimeout(1000);
    const int buffer = 64 * 1024;
    const auto ask = [&](QTcpSocket &client) {
        // Qt would otherwise read everything into memory on its own.
        client.setReadBufferSize(buffer);
        client.connectToHost(QHostAddress::LocalHost, service.serverPort());
        client.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, buffer);
        client.write("GET /xray_config.json HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n\r\n");
    };
    QTcpSocket stalled, slow;
    ask(stalled);
    ask(slow);

    // One buffer per pause, so the whole answer takes several times the deadline, while each
    // pause stays far below it.
    QByteArray received;
    for (int round = 0; round < 5000 && slow.state() != QAbstractSocket::UnconnectedState;
         ++round) {
        QTest::qWait(20);
        received += slow.read(buffer);
    }
    received += slow.readAll();
    QCOMPARE(received.size(), whole.size());
    QVERIFY(received == whole);

    // The connection that was never read is gone from the service and was reset, so the
    // client cannot take the part it holds for the whole answer.
    QTRY_VERIFY_WITH_TIMEOUT(service.findChildren<QTcpSocket *>().isEmpty(), 10000);
    QByteArray part = stalled.readAll();
    char chunk[65536];
    ssize_t n = 0;
    while ((n = ::recv(int(stalled.socketDescriptor()), chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        part.append(chunk, int(n));
    const int error = n < 0 ? errno : 0;
    QCOMPARE(error, ECONNRESET);
    QVERIFY(part.size() < whole.size());
    QVERIFY(whole.startsWith(part));
}

void TestHttpService::waitingCallersAnsweredByTheStart()
{
    QSignalSpy api(m_service, &HttpService::sigIshttpProxy);
    const auto announced = [&api] {
        QList<int> ports;
        for (const QList<QVariant> &call : qAsConst(api))
            ports.append(call.first().toJsonObject().value("proxy").toInt());
        std::sort(ports.begin(), ports.end()); // the callers connect at once, in any order
        return ports;
    };
    const auto served = [this](const QTcpSocket &client) {
        for (QTcpSocket *socket : m_service->findChildren<QTcpSocket *>()) {
            if (socket->peerPort() == client.localPort())
                return socket;
        }
        return static_cast<QTcpSocket *>(nullptr);
    };

    auto first = ask("proxy=60011&wait=1");
    auto second = ask("proxy=60011&gender=1&wait=1");
    auto other = ask("proxy=60012&wait=1");
    auto hungUp = ask("proxy=60014&wait=1");
    QTRY_COMPARE(api.count(), 4);
    // A caller that hangs up is forgotten: the settle finds nobody to answer.
    const QPointer<QTcpSocket> hungUpServed = served(*hungUp);
    QVERIFY(hungUpServed);
    hungUp->close();
    QTRY_VERIFY(hungUpServed.isNull());
    m_service->settleStart(60014, true, QString());

    // What a waiting caller sends after its request is not kept.
    const QPointer<QTcpSocket> otherServed = served(*other);
    other->write(QByteArray(4 * 1024 * 1024, 'x'));
    QTRY_VERIFY(other->bytesToWrite() == 0 && otherServed->bytesAvailable() == 0);

    // A caller that does not wait is answered at once, whoever waits for the same port.
    QCOMPARE(exchange({apiGet("proxy=60011")}), plain("200 OK", "127.0.0.1:60011"));
    QCOMPARE(first->bytesAvailable(), 0);

    m_service->settleStart(60013, true, QString()); // nobody waits for it
    m_service->settleStart(60011, true, QString());
    QCOMPARE(answerOf(*first), plain("200 OK", "127.0.0.1:60011"));
    QCOMPARE(answerOf(*second), plain("200 OK", "127.0.0.1:60011"));
    // Nothing but the failure reaches the caller on the other port: it was not answered before.
    m_service->settleStart(60012, false, "the core exited at its start");
    QCOMPARE(answerOf(*other),
             plain("502 Bad Gateway",
                   "local port 60012 could not start: the core exited at its start\n"));

    m_service->setStartWaitTimeout(100);
    const auto restore = qScopeGuard([this] { m_service->setStartWaitTimeout(30000); });
    auto late = ask("proxy=60013&wait=1");
    QCOMPARE(answerOf(*late),
             plain("504 Gateway Timeout", "local port 60013 did not start in time\n"));
    m_service->settleStart(60013, true, QString());

    QCOMPARE(announced(), (QList<int>{60011, 60011, 60011, 60012, 60013, 60014}));
    QTRY_VERIFY(m_service->findChildren<QTcpSocket *>().isEmpty());
}

void TestHttpService::noFreePortRefused()
{
    QSignalSpy api(m_service, &HttpService::sigIshttpProxy);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_service->serverPort());
    QTRY_COMPARE(m_service->findChildren<QTcpSocket *>().size(), 1);

    // With the caller's connection in place, a descriptor limit at the lowest free number
    // leaves the service none to probe a port with.
    const int lowestFree = ::dup(STDERR_FILENO);
    QVERIFY(lowestFree >= 0);
    ::close(lowestFree);
    rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    QByteArray answer;
    {
        rlimit limit = saved;
        limit.rlim_cur = rlim_t(lowestFree);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        const auto restore = qScopeGuard([&saved] { ::setrlimit(RLIMIT_NOFILE, &saved); });
        client.write(apiGet("proxy=&contry=JP&wait=1"));
        answer = answerOf(client);
    }

    QCOMPARE(answer, plain("503 Service Unavailable", "no free local port\n"));
    QCOMPARE(api.count(), 0);
}

QTEST_GUILESS_MAIN(TestHttpService)
#include "tst_httpservice.moc"
