#include "httphead.h"
#include "proxycredentials.h"
#include "residentialgateway.h"
#include "sockshandshake.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(QNetworkProxy::ProxyType)
Q_DECLARE_METATYPE(QHostAddress)

class TestGateway : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void parsesPassword_data();
    void parsesPassword();
    void httpHeadReadInPieces();
    void httpHeadRefused_data();
    void httpHeadRefused();
    void httpTargets_data();
    void httpTargets();
    void socksHandshakeReadInPieces();

    void relaysThroughQtProxies_data();
    void relaysThroughQtProxies();
    void socksAddressTypes_data();
    void socksAddressTypes();
    void forwardsAbsoluteFormRequest_data();
    void forwardsAbsoluteFormRequest();
    void refusals_data();
    void refusals();
    void closesBothSidesAndCleansUp_data();
    void closesBothSidesAndCleansUp();

private:
    void relayThroughQtProxy(QNetworkProxy::ProxyType type, const QString &password);

    std::unique_ptr<ResidentialGateway> m_gateway;
};

namespace {

const QString user = QStringLiteral("vx_demo");
const QString base = QStringLiteral("k3yS3cret");

// Echoes every byte back and keeps a copy, so a test sees what the target received.
struct EchoTarget
{
    QTcpServer server;
    QByteArray received;
    QList<QTcpSocket *> sockets;

    bool listen(const QHostAddress &address)
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                sockets.append(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
                    const QByteArray data = socket->readAll();
                    received += data;
                    socket->write(data);
                });
            }
        });
        return server.listen(address, 0);
    }
};

struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int value : values)
        result.append(char(value));
    return result;
}

QByteArray socksLogin(const QString &name, const QString &password)
{
    const QByteArray utf8Name = name.toUtf8();
    const QByteArray utf8Password = password.toUtf8();
    return bytes({5, 1, 2, 1, utf8Name.size()}) + utf8Name + char(utf8Password.size()) +
           utf8Password;
}

QByteArray socksConnect(int addressType, const QByteArray &address, quint16 port)
{
    return bytes({5, 1, 0, addressType}) + address + bytes({port >> 8, port & 0xff});
}

QByteArray basicAuthorization(const QString &name, const QString &password)
{
    return "Proxy-Authorization: Basic " + (name + ':' + password).toUtf8().toBase64() + "\r\n";
}

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// Every shorter prefix is Incomplete and the whole message is read without what follows it.
template <typename Parse> void checkReadInPieces(Parse parse, const QByteArray &message)
{
    using ParseStatus = decltype(parse(message).status);
    for (int length = 0; length < message.size(); ++length)
        QVERIFY2(parse(message.left(length)).status == ParseStatus::Incomplete,
                 qPrintable(QStringLiteral("prefix of %1 bytes").arg(length)));
    const auto whole = parse(message + "more");
    QVERIFY(whole.status == ParseStatus::Ok);
    QCOMPARE(whole.consumed, message.size());
}

} // namespace

void TestGateway::init()
{
    m_gateway = std::make_unique<ResidentialGateway>();
    m_gateway->addAccount(user, base);
    m_gateway->addAccount(QStringLiteral("second"), QStringLiteral("other_pass"));
    QVERIFY(m_gateway->listenHttp(QHostAddress::LocalHost, 0));
    QVERIFY(m_gateway->listenSocks(QHostAddress::LocalHost, 0));
}

void TestGateway::parsesPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("basePassword");
    QTest::addColumn<QString>("country");
    QTest::addColumn<QString>("session");
    const auto row = [](const char *name, const char *password, const char *basePassword,
                        const char *country, const char *session) {
        QTest::newRow(name) << QString(password) << QString(basePassword) << QString(country)
                            << QString(session);
    };
    row("base only", "k3yS3cret", "k3yS3cret", "", "");
    row("country", "k3yS3cret_country-US", "k3yS3cret", "US", "");
    row("country and session", "k3yS3cret_country-US_session-aB3dE6fG", "k3yS3cret", "US",
        "aB3dE6fG");
    row("empty country", "k3yS3cret_country-", "k3yS3cret", "", "");
    row("empty country and session", "k3yS3cret_country-_session-12345678", "k3yS3cret", "",
        "12345678");
    row("session without country", "k3yS3cret_session-aB3dE6fG", "k3yS3cret", "", "aB3dE6fG");
    row("underscores inside the base", "k3y_S3_cret_country-DE_session-Zz9Zz9Zz", "k3y_S3_cret",
        "DE", "Zz9Zz9Zz");
    row("short session stays in the base", "k3y_session-aB3", "k3y_session-aB3", "", "");
    row("three-letter country stays in the base", "k3y_country-USA", "k3y_country-USA", "", "");
    row("country after session stays in the base", "k3y_session-aB3dE6fG_country-US",
        "k3y_session-aB3dE6fG", "US", "");
}

void TestGateway::parsesPassword()
{
    QFETCH(QString, password);
    const ProxyCredentials credentials = ProxyCredentials::fromPassword(password);
    QTEST(credentials.basePassword, "basePassword");
    QTEST(credentials.country, "country");
    QTEST(credentials.session, "session");
}

void TestGateway::httpHeadReadInPieces()
{
    const QByteArray head = "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n"
                            "proxy-authorization:   Basic dXNlcjpwdw==  \r\n\r\n";
    checkReadInPieces(HttpHead::parse, head);
    const HttpHead::Request request = HttpHead::parse(head).request;
    QCOMPARE(request.method, QByteArray("CONNECT"));
    QCOMPARE(request.target, QByteArray("example.com:443"));
    QCOMPARE(request.version, QByteArray("HTTP/1.1"));
    QCOMPARE(request.field("Proxy-Authorization"), QByteArray("Basic dXNlcjpwdw=="));
    QCOMPARE(HttpHead::parse("GET http://a/ HTTP/1.0\r\n\r\n").consumed, 26);
}

void TestGateway::httpHeadRefused_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("SOCKS greeting") << bytes({5, 1, 2});
    QTest::newRow("request line without version") << QByteArray("GET http://a/\r\n\r\n");
    QTest::newRow("unknown version") << QByteArray("GET http://a/ HTTP/one\r\n\r\n");
    QTest::newRow("two spaces in the request line") << QByteArray("GET  http://a/ HTTP/1.1\r\n");
    QTest::newRow("space before the colon") << QByteArray("GET / HTTP/1.1\r\nHost : a\r\n\r\n");
    QTest::newRow("folded field") << QByteArray("GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n");
    QTest::newRow("bare LF") << QByteArray("GET / HTTP/1.1\r\nA: b\nC: d\r\n\r\n");
    QTest::newRow("endless request line") << QByteArray(HttpHead::MaxSize, 'A');
    QTest::newRow("endless fields")
        << "GET http://a/ HTTP/1.1\r\nX: " + QByteArray(HttpHead::MaxSize, 'a');
    QTest::newRow("complete head over the limit")
        << "GET http://a/ HTTP/1.1\r\nX: " + QByteArray(HttpHead::MaxSize, 'a') + "\r\n\r\n";
}

void TestGateway::httpHeadRefused()
{
    QFETCH(QByteArray, data);
    const HttpHead::ParseResult result = HttpHead::parse(data);
    QVERIFY(result.status == HttpHead::Status::Bad);
    QVERIFY(!result.error.isEmpty());
}

void TestGateway::httpTargets_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("host"); // empty when the target is refused
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("originForm");

    QTest::newRow("name and port")
        << true << QByteArray("example.com:443") << "example.com" << 443 << QByteArray();
    QTest::newRow("IPv6") << true << QByteArray("[::1]:8080") << "::1" << 8080 << QByteArray();
    QTest::newRow("CONNECT without port")
        << true << QByteArray("example.com") << "" << 0 << QByteArray();
    QTest::newRow("port 0") << true << QByteArray("a:0") << "" << 0 << QByteArray();
    QTest::newRow("port too big") << true << QByteArray("a:65536") << "" << 0 << QByteArray();
    QTest::newRow("unclosed bracket") << true << QByteArray("[::1:80") << "" << 0 << QByteArray();
    QTest::newRow("absolute with query") << false << QByteArray("http://example.com/a?b=1")
                                         << "example.com" << 80 << QByteArray("/a?b=1");
    QTest::newRow("absolute, upper-case scheme, no path")
        << false << QByteArray("HTTP://h:8080") << "h" << 8080 << QByteArray("/");
    QTest::newRow("absolute, query without path")
        << false << QByteArray("http://h?q") << "h" << 80 << QByteArray("/?q");
    QTest::newRow("https") << false << QByteArray("https://h/") << "" << 0 << QByteArray();
    QTest::newRow("origin form") << false << QByteArray("/index.html") << "" << 0 << QByteArray();
    QTest::newRow("user info") << false << QByteArray("http://u@h/") << "" << 0 << QByteArray();
}

void TestGateway::httpTargets()
{
    QFETCH(bool, connect);
    QFETCH(QByteArray, target);
    QFETCH(QString, host);
    const auto result =
        connect ? HttpHead::authorityTarget(target) : HttpHead::absoluteTarget(target);
    QCOMPARE(result.has_value(), !host.isEmpty());
    if (!result)
        return;
    QCOMPARE(result->host, host);
    QTEST(int(result->port), "port");
    QTEST(result->originForm, "originForm");
}

void TestGateway::socksHandshakeReadInPieces()
{
    checkReadInPieces(SocksHandshake::parseGreeting, bytes({5, 2, 0, 2}));
    checkReadInPieces(SocksHandshake::parseLogin, socksLogin(user, "p").mid(3));
    checkReadInPieces(SocksHandshake::parseRequest, socksConnect(3, "\013example.com", 443));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(SocksHandshake::parseGreeting(bytes({5, 2, 0, 2})).methods, bytes({0, 2}));
    const auto login = SocksHandshake::parseLogin(socksLogin(user, "pä_ss").mid(3));
    QCOMPARE(login.user, user);
    QCOMPARE(login.password, QStringLiteral("pä_ss"));
}

void TestGateway::relayThroughQtProxy(QNetworkProxy::ProxyType type, const QString &password)
{
    EchoTarget target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.setProxy(QNetworkProxy(type, QStringLiteral("127.0.0.1"),
                                  type == QNetworkProxy::HttpProxy ? m_gateway->httpPort()
                                                                   : m_gateway->socksPort(),
                                  user, password));
    QSignalSpy connected(&client, &QTcpSocket::connected);
    client.connectToHost(QHostAddress::LocalHost, target.server.serverPort());
    QTRY_COMPARE(connected.count(), 1);
    client.write("ping");
    QTRY_COMPARE(client.bytesAvailable(), 4);
    QCOMPARE(client.readAll(), QByteArray("ping"));
    QCOMPARE(target.received, QByteArray("ping"));
}

void TestGateway::relaysThroughQtProxies_data()
{
    QTest::addColumn<QNetworkProxy::ProxyType>("type");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("country");
    QTest::addColumn<QString>("session");
    QTest::newRow("http") << QNetworkProxy::HttpProxy << QString("http") << QString("US")
                          << QString("aB3dE6fG");
    QTest::newRow("socks5") << QNetworkProxy::Socks5Proxy << QString("socks5") << QString()
                            << QString();
}

void TestGateway::relaysThroughQtProxies()
{
    QFETCH(QNetworkProxy::ProxyType, type);
    QFETCH(QString, country);
    QFETCH(QString, session);
    QSignalSpy accepted(m_gateway.get(), &ResidentialGateway::connectionAccepted);
    relayThroughQtProxy(
        type, country.isEmpty() ? base : base + "_country-" + country + "_session-" + session);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(accepted.count(), 1);
    QCOMPARE(m_gateway->connections().size(), 1);
    const GatewayConnection record = m_gateway->connections().constFirst();
    QCOMPARE(accepted.constFirst().constFirst().value<GatewayConnection>().session, session);
    QTEST(record.protocol, "protocol");
    QCOMPARE(record.user, user);
    QCOMPARE(record.basePassword, base);
    QCOMPARE(record.country, country);
    QCOMPARE(record.session, session);
    QCOMPARE(record.targetHost, QStringLiteral("127.0.0.1"));
}

void TestGateway::socksAddressTypes_data()
{
    QTest::addColumn<QHostAddress>("listen");
    QTest::addColumn<int>("addressType");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv4") << QHostAddress(QHostAddress::LocalHost) << 1 << bytes({127, 0, 0, 1})
                          << "127.0.0.1";
    QTest::newRow("domain") << QHostAddress(QHostAddress::LocalHost) << 3
                            << QByteArray("\x09localhost") << "localhost";
    QTest::newRow("IPv6") << QHostAddress(QHostAddress::LocalHostIPv6) << 4
                          << QByteArray(15, '\0') + '\1' << "::1";
}

void TestGateway::socksAddressTypes()
{
    QFETCH(QHostAddress, listen);
    QFETCH(int, addressType);
    QFETCH(QByteArray, address);
    EchoTarget target;
    if (!target.listen(listen))
        QSKIP("no loopback for this address family");
    const quint16 port = target.server.serverPort();

    // Everything in one write, data included, as a client that does not wait for answers.
    RawClient client(m_gateway->socksPort());
    client.socket.write(socksLogin(user, base + "_country-FR") +
                        socksConnect(addressType, address, port) + "ping");
    QTRY_VERIFY(client.received.endsWith("ping"));
    QCOMPARE(client.received.left(6), bytes({5, 2, 1, 0, 5, 0}));
    QCOMPARE(target.received, QByteArray("ping"));
    const GatewayConnection record = m_gateway->connections().value(0);
    QCOMPARE(record.country, QStringLiteral("FR"));
    QTEST(record.targetHost, "host");
    QCOMPARE(record.targetPort, port);
}

void TestGateway::forwardsAbsoluteFormRequest_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("GET") << QByteArray("GET") << QByteArray() << QByteArray();
    QTest::newRow("POST with body in the same write")
        << QByteArray("POST") << QByteArray("Content-Length: 4\r\n") << QByteArray("body");
}

void TestGateway::forwardsAbsoluteFormRequest()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, fields);
    QFETCH(QByteArray, body);
    EchoTarget target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    const QByteArray authority = "127.0.0.1:" + QByteArray::number(target.server.serverPort());
    RawClient client(m_gateway->httpPort());
    client.socket.write(method + " http://" + authority + "/path?x=1 HTTP/1.1\r\nHost: " +
                        authority + "\r\n" + basicAuthorization(user, base + "_session-00000000") +
                        "Proxy-Connection: keep-alive\r\nAccept: */*\r\n" + fields + "\r\n" + body);

    const QByteArray forwarded = method + " /path?x=1 HTTP/1.1\r\nHost: " + authority +
                                 "\r\nAccept: */*\r\n" + fields + "Connection: close\r\n\r\n" +
                                 body;
    QTRY_COMPARE(client.received, forwarded);
    QCOMPARE(target.received, forwarded);
    const GatewayConnection record = m_gateway->connections().value(0);
    QCOMPARE(record.protocol, QStringLiteral("http"));
    QCOMPARE(record.session, QStringLiteral("00000000"));
    QCOMPARE(record.targetPort, target.server.serverPort());
}

void TestGateway::refusals_data()
{
    QTest::addColumn<bool>("socks");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer"); // how the answer starts; empty: no answer at all
    QTest::addColumn<bool>("recorded");

    const QByteArray connect = "CONNECT 127.0.0.1:1 HTTP/1.1\r\n";
    const QByteArray auth = basicAuthorization(user, base);
    const QByteArray challenge = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                 "Proxy-Authenticate: Basic realm=\"";
    const QByteArray loggedIn = socksLogin(user, base);
    const QByteArray refusingPort = QByteArray::number(closedPort());
    QTest::newRow("http wrong base password")
        << false << connect + basicAuthorization(user, "k3yS3cre_country-US") + "\r\n"
        << challenge << false;
    QTest::newRow("http other account's password")
        << false << connect + basicAuthorization(user, "other_pass") + "\r\n"
        << challenge << false;
    QTest::newRow("http unknown user")
        << false << connect + basicAuthorization("nobody", base) + "\r\n"
        << challenge << false;
    QTest::newRow("http no credentials") << false << connect + "\r\n" << challenge << false;
    QTest::newRow("http unreadable credentials")
        << false << connect + "Proxy-Authorization: Basic !!\r\n\r\n"
        << challenge << false;
    QTest::newRow("http target refuses")
        << false << "CONNECT 127.0.0.1:" + refusingPort + " HTTP/1.1\r\n" + auth + "\r\n"
        << QByteArray("HTTP/1.1 502 ") << true;
    QTest::newRow("http CONNECT without port") << false << "CONNECT a HTTP/1.1\r\n" + auth + "\r\n"
                                               << QByteArray("HTTP/1.1 400 ") << false;
    QTest::newRow("http origin form") << false << "GET /x HTTP/1.1\r\n" + auth + "\r\n"
                                      << QByteArray("HTTP/1.1 400 ") << false;
    QTest::newRow("http TLS hello")
        << false << bytes({0x16, 3, 1, 0, 0xa5, 1}) << QByteArray("HTTP/1.1 400 ") << false;
    QTest::newRow("http oversized head")
        << false << "GET http://a/ HTTP/1.1\r\nX: " + QByteArray(HttpHead::MaxSize + 1000, 'a')
        << QByteArray("HTTP/1.1 400 ") << false;
    QTest::newRow("socks wrong base password")
        << true << socksLogin(user, "k3yS3cretX") << bytes({5, 2, 1, 1}) << false;
    QTest::newRow("socks unknown user")
        << true << socksLogin("nobody", base) << bytes({5, 2, 1, 1}) << false;
    QTest::newRow("socks bad login version")
        << true << bytes({5, 1, 2, 9, 9}) << bytes({5, 2, 1, 1}) << false;
    QTest::newRow("socks without login method")
        << true << bytes({5, 1, 0}) << bytes({5, 0xff}) << false;
    QTest::newRow("socks target refuses")
        << true << loggedIn + socksConnect(1, bytes({127, 0, 0, 1}), refusingPort.toUShort())
        << bytes({5, 2, 1, 0, 5, 5}) << true;
    QTest::newRow("socks BIND") << true << loggedIn + bytes({5, 2, 0, 1, 127, 0, 0, 1, 0, 80})
                                << bytes({5, 2, 1, 0, 5, 7}) << false;
    QTest::newRow("socks empty domain")
        << true << loggedIn + bytes({5, 1, 0, 3, 0, 0, 80}) << bytes({5, 2, 1, 0, 5, 4}) << false;
    QTest::newRow("socks unknown address type")
        << true << loggedIn + bytes({5, 1, 0, 9}) << bytes({5, 2, 1, 0, 5, 8}) << false;
    QTest::newRow("http to socks")
        << true << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray() << false;
}

void TestGateway::refusals()
{
    QFETCH(bool, socks);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    RawClient client(socks ? m_gateway->socksPort() : m_gateway->httpPort());
    client.socket.write(request);
    QTRY_VERIFY(client.closed());
    QVERIFY2(answer.isEmpty() ? client.received.isEmpty() : client.received.startsWith(answer),
             client.received.toHex().constData());
    QTEST(!m_gateway->connections().isEmpty(), "recorded");
    // Whatever one client sent, the next one is served.
    relayThroughQtProxy(socks ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy, base);
}

void TestGateway::closesBothSidesAndCleansUp_data()
{
    QTest::addColumn<bool>("targetCloses");
    QTest::newRow("target closes") << true;
    QTest::newRow("client closes") << false;
}

void TestGateway::closesBothSidesAndCleansUp()
{
    QFETCH(bool, targetCloses);
    EchoTarget target;
    QVERIFY(target.listen(QHostAddress::LocalHost));
    RawClient client(m_gateway->socksPort());
    client.socket.write(socksLogin(user, base) +
                        socksConnect(1, bytes({127, 0, 0, 1}), target.server.serverPort()));
    QTRY_COMPARE(target.sockets.size(), 1);
    QTcpSocket *targetSide = target.sockets.constFirst();
    QTRY_COMPARE(client.received.size(), 14);

    if (targetCloses) {
        targetSide->write("last words");
        targetSide->disconnectFromHost();
        QTRY_VERIFY(client.closed());
        QVERIFY(client.received.endsWith("last words"));
    } else {
        client.socket.disconnectFromHost();
        QTRY_COMPARE(targetSide->state(), QAbstractSocket::UnconnectedState);
    }
    QTRY_VERIFY(m_gateway->findChildren<QTcpSocket *>().isEmpty());
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
