#include "proxycredentials.h"
#include "residentialgateway.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// The stand-in gateway is a test tool: its password parsing, and one relay per protocol,
// which the tests of the client's proxy path rely on.
class TestGateway : public QObject
{
    Q_OBJECT

private slots:
    void parsesPassword_data();
    void parsesPassword();
    void relays_data();
    void relays();
};

namespace {

const QString user = QStringLiteral("vx_demo");
const QString base = QStringLiteral("k3yS3cret");

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

// The whole handshake up to the relay in one write, as a client that does not wait.
QByteArray handshake(bool socks, const QString &password, quint16 port)
{
    if (socks) {
        const QByteArray name = user.toUtf8(), secret = password.toUtf8();
        return QByteArray::fromHex("05010201") + char(name.size()) + name + char(secret.size()) +
               secret + QByteArray::fromHex("050100017f000001") + char(port >> 8) + char(port);
    }
    return "CONNECT 127.0.0.1:" + QByteArray::number(port) +
           " HTTP/1.1\r\nProxy-Authorization: Basic " +
           (user + ':' + password).toUtf8().toBase64() + "\r\n\r\n";
}

} // namespace

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

void TestGateway::relays_data()
{
    QTest::addColumn<bool>("socks");
    QTest::addColumn<QByteArray>("refusal"); // how the answer to a wrong password starts
    QTest::newRow("http") << false << QByteArray("HTTP/1.1 407 Proxy Authentication Required");
    QTest::newRow("socks5") << true << QByteArray::fromHex("05020101");
}

void TestGateway::relays()
{
    QFETCH(bool, socks);
    QFETCH(QByteArray, refusal);
    ResidentialGateway gateway;
    gateway.addAccount(user, base);
    QVERIFY(gateway.listenHttp(QHostAddress::LocalHost));
    QVERIFY(gateway.listenSocks(QHostAddress::LocalHost));
    const quint16 port = socks ? gateway.socksPort() : gateway.httpPort();

    // Echoes every byte back and keeps a copy.
    QTcpServer target;
    QTcpSocket *echo = nullptr;
    QByteArray received;
    connect(&target, &QTcpServer::newConnection, [&] {
        echo = target.nextPendingConnection();
        connect(echo, &QTcpSocket::readyRead, [&] {
            received += echo->peek(echo->bytesAvailable());
            echo->write(echo->readAll());
        });
    });
    QVERIFY(target.listen(QHostAddress::LocalHost, 0));

    RawClient refused(port);
    refused.socket.write(handshake(socks, base + "X_country-US", target.serverPort()));
    QTRY_VERIFY(refused.closed());
    QVERIFY2(refused.received.startsWith(refusal), refused.received.toHex().constData());
    QVERIFY(gateway.connections().isEmpty());

    // The handshake and data in one write are relayed; when the target closes, its last
    // bytes still reach the client and the gateway keeps no socket.
    RawClient client(port);
    client.socket.write(
        handshake(socks, base + "_country-JP_session-aB3dE6fG", target.serverPort()) + "ping");
    QTRY_VERIFY(client.received.endsWith("ping"));
    QCOMPARE(received, QByteArray("ping"));
    echo->write("bye");
    echo->disconnectFromHost();
    QTRY_VERIFY(client.closed());
    QVERIFY(client.received.endsWith("pingbye"));
    QTRY_VERIFY(gateway.findChildren<QTcpSocket *>().isEmpty());

    QCOMPARE(gateway.connections().size(), 1);
    const GatewayConnection seen = gateway.connections().first();
    QCOMPARE(seen.protocol, QString(socks ? "socks5" : "http"));
    QCOMPARE(seen.user + '|' + seen.basePassword + '|' + seen.country + '|' + seen.session,
             user + '|' + base + "|JP|aB3dE6fG");
    QCOMPARE(seen.targetPort, target.serverPort());
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
