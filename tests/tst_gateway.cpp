#include "httphead.h"
#include "proxycredentials.h"
#include "residentialgateway.h"
#include "sockshandshake.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

class TestGateway : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void parsesPassword_data();
    void parsesPassword();
    void handshakesReadInPieces();
    void httpHeadRefused_data();
    void httpHeadRefused();

    void forwardsAbsoluteFormRequest();
    void refusals_data();
    void refusals();

private:
    std::unique_ptr<ResidentialGateway> m_gateway;
};

namespace {

const QString user = QStringLiteral("vx_demo");
const QString base = QStringLiteral("k3yS3cret");

// Echoes every byte back and keeps a copy, so a test sees what the target received.
struct EchoTarget
{
    QTcpServer server;
    QTcpSocket *socket = nullptr;
    QByteArray received;

    bool listen()
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this] {
                received += socket->peek(socket->bytesAvailable());
                socket->write(socket->readAll());
            });
        });
        return server.listen(QHostAddress::LocalHost, 0);
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

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

// A greeting that offers only username/password, then the login.
QByteArray socksLogin(const QString &name, const QString &password)
{
    const QByteArray utf8Name = name.toUtf8(), utf8Password = password.toUtf8();
    return hex("05010201") + char(utf8Name.size()) + utf8Name + char(utf8Password.size()) +
           utf8Password;
}

QByteArray socksConnect(int addressType, const QByteArray &address, quint16 port)
{
    return hex("050100") + char(addressType) + address + char(port >> 8) + char(port);
}

QByteArray basicAuthorization(const QString &name, const QString &password)
{
    return "Proxy-Authorization: Basic " + (name + ':' + password).toUtf8().toBase64() + "\r\n";
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
    QTest::addColumn<QString>("parts"); // base password|country|session
    const auto row = [](const char *password, const char *parts) {
        QTest::newRow(password) << QString(password) << QString(parts);
    };
    row("k3yS3cret", "k3yS3cret||");
    row("k3yS3cret_country-US_session-aB3dE6fG", "k3yS3cret|US|aB3dE6fG");
    row("k3yS3cret_session-aB3dE6fG", "k3yS3cret||aB3dE6fG");
    row("k3yS3cret_country-_session-12345678", "k3yS3cret||12345678");
    row("k3y_S3_cret_country-DE_session-Zz9Zz9Zz", "k3y_S3_cret|DE|Zz9Zz9Zz");
    // Suffixes that are not well formed, or out of order, belong to the base password.
    row("k3y_session-aB3", "k3y_session-aB3||");
    row("k3y_country-USA", "k3y_country-USA||");
    row("k3y_session-aB3dE6fG_country-US", "k3y_session-aB3dE6fG|US|");
}

void TestGateway::parsesPassword()
{
    QFETCH(QString, password);
    const ProxyCredentials parsed = ProxyCredentials::fromPassword(password);
    QTEST(parsed.basePassword + '|' + parsed.country + '|' + parsed.session, "parts");
}

void TestGateway::handshakesReadInPieces()
{
    const QByteArray head =
        "CONNECT a:1 HTTP/1.1\r\nHost: a:1\r\nproxy-authorization:  Basic x \r\n\r\n";
    checkReadInPieces(HttpHead::parse, head);
    checkReadInPieces(SocksHandshake::parseGreeting, hex("05020002"));
    const QByteArray login = socksLogin(user, "pä_ss").mid(3);
    const QByteArray v6 = socksConnect(4, QByteArray(15, 0) + '\1', 80);
    checkReadInPieces(SocksHandshake::parseLogin, login);
    checkReadInPieces(SocksHandshake::parseRequest, socksConnect(3, "\013example.com", 443));
    checkReadInPieces(SocksHandshake::parseRequest, v6);
    QCOMPARE(HttpHead::parse(head).request.field("Proxy-Authorization"), QByteArray("Basic x"));
    QCOMPARE(SocksHandshake::parseLogin(login).password, QStringLiteral("pä_ss"));
    QCOMPARE(SocksHandshake::parseRequest(v6).host, QStringLiteral("::1"));
}

void TestGateway::httpHeadRefused_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("SOCKS greeting") << hex("050102");
    QTest::newRow("request line without version") << QByteArray("GET http://a/\r\n\r\n");
    QTest::newRow("space before the colon") << QByteArray("GET / HTTP/1.1\r\nHost : a\r\n\r\n");
    QTest::newRow("folded field") << QByteArray("GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n");
    QTest::newRow("bare LF") << QByteArray("GET / HTTP/1.1\r\nA: b\nC: d\r\n\r\n");
    QTest::newRow("endless request line") << QByteArray(HttpHead::MaxSize, 'A');
    QTest::newRow("complete head over the limit")
        << "GET http://a/ HTTP/1.1\r\nX: " + QByteArray(HttpHead::MaxSize, 'a') + "\r\n\r\n";
}

void TestGateway::httpHeadRefused()
{
    QFETCH(QByteArray, data);
    QVERIFY(HttpHead::parse(data).status == HttpHead::Status::Bad);
}

void TestGateway::forwardsAbsoluteFormRequest()
{
    EchoTarget target;
    QVERIFY(target.listen());
    const QByteArray authority = "127.0.0.1:" + QByteArray::number(target.server.serverPort());
    RawClient client(m_gateway->httpPort());
    client.socket.write("GET http://" + authority + "/path?x=1 HTTP/1.1\r\nHost: " + authority +
                        "\r\n" + basicAuthorization(user, base + "_session-00000000") +
                        "Proxy-Connection: keep-alive\r\nAccept: */*\r\n\r\n");

    const QByteArray forwarded = "GET /path?x=1 HTTP/1.1\r\nHost: " + authority +
                                 "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    QTRY_COMPARE(client.received, forwarded);
    QCOMPARE(target.received, forwarded);
}

void TestGateway::refusals_data()
{
    QTest::addColumn<bool>("socks");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer"); // how the answer starts; empty: no answer at all
    QTest::addColumn<bool>("recorded");
    const auto row = [](const char *name, bool socks, const QByteArray &request,
                        const QByteArray &answer, bool recorded = false) {
        QTest::newRow(name) << socks << request << answer << recorded;
    };

    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 refusing = closed.serverPort();
    closed.close();
    const QByteArray connect =
        "CONNECT 127.0.0.1:" + QByteArray::number(refusing) + " HTTP/1.1\r\n";
    const QByteArray auth = basicAuthorization(user, base);
    const QByteArray challenge = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                 "Proxy-Authenticate: Basic realm=\"";
    const QByteArray loggedIn = socksLogin(user, base);

    row("http wrong base password", false,
        connect + basicAuthorization(user, "k3yS3cre_country-US") + "\r\n", challenge);
    row("http other account's password", false,
        connect + basicAuthorization(user, "other_pass") + "\r\n", challenge);
    row("http no credentials", false, connect + "\r\n", challenge);
    row("http target refuses", false, connect + auth + "\r\n", "HTTP/1.1 502 ", true);
    row("http origin form", false, "GET /x HTTP/1.1\r\n" + auth + "\r\n", "HTTP/1.1 400 ");
    row("http TLS hello", false, hex("16030100a501"), "HTTP/1.1 400 ");
    row("socks wrong base password", true, socksLogin(user, "k3yS3cretX"), hex("05020101"));
    row("socks without login method", true, hex("050100"), hex("05ff"));
    row("socks target refuses", true, loggedIn + socksConnect(1, hex("7f000001"), refusing),
        hex("050201000505"), true);
    row("socks unknown address type", true, loggedIn + hex("05010009"), hex("050201000508"));
    row("http to socks", true, "GET / HTTP/1.1\r\n\r\n", QByteArray());
}

void TestGateway::refusals()
{
    QFETCH(bool, socks);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    RawClient refused(socks ? m_gateway->socksPort() : m_gateway->httpPort());
    refused.socket.write(request);
    QTRY_VERIFY(refused.closed());
    QVERIFY2(answer.isEmpty() ? refused.received.isEmpty() : refused.received.startsWith(answer),
             refused.received.toHex().constData());
    QTEST(!m_gateway->connections().isEmpty(), "recorded");

    // The next client is served: its handshake and data in one write are relayed, and when the
    // target closes, its last bytes still reach the client and the gateway keeps no socket.
    EchoTarget target;
    QVERIFY(target.listen());
    const quint16 port = target.server.serverPort();
    RawClient client(socks ? m_gateway->socksPort() : m_gateway->httpPort());
    client.socket.write((socks ? socksLogin(user, base) + socksConnect(1, hex("7f000001"), port)
                               : "CONNECT 127.0.0.1:" + QByteArray::number(port) + " HTTP/1.1\r\n" +
                                     basicAuthorization(user, base) + "\r\n") +
                        "ping");
    QTRY_VERIFY(client.received.endsWith("ping"));
    QCOMPARE(target.received, QByteArray("ping"));
    target.socket->write("bye");
    target.socket->disconnectFromHost();
    QTRY_VERIFY(client.closed());
    QVERIFY(client.received.endsWith("pingbye"));
    QTRY_VERIFY(m_gateway->findChildren<QTcpSocket *>().isEmpty());
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
