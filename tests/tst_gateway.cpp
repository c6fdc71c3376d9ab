#include "proxycredentials.h"
#include "residentialgateway.h"
#include "support/relayprobe.h"

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
    void relaysOnePerProtocol();
};

namespace {

const QString user = QStringLiteral("vx_demo");
const QString base = QStringLiteral("k3yS3cret");

// The whole handshake up to the relay.
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
    row("k3y_country-USA", "k3y_country-USA||");
    row("k3y_session-aB3dE6fG_country-US", "k3y_session-aB3dE6fG|US|");
}

void TestGateway::parsesPassword()
{
    QFETCH(QString, password);
    const ProxyCredentials parsed = ProxyCredentials::fromPassword(password);
    QTEST(parsed.basePassword + '|' + parsed.country + '|' + parsed.session, "parts");
}

void TestGateway::relaysOnePerProtocol()
{
    ResidentialGateway gateway;
    gateway.addAccount(user, base);
    QVERIFY(gateway.listenHttp(QHostAddress::LocalHost) &&
            gateway.listenSocks(QHostAddress::LocalHost));
    TargetServer target;
    for (bool socks : {false, true}) {
        // The handshake and a request in one write, as a client that does not wait; what
        // came back once the gateway closed the connection.
        const auto exchange = [&](const QString &password) {
            QTcpSocket client;
            QByteArray received;
            connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
            client.connectToHost(QHostAddress::LocalHost,
                                 socks ? gateway.socksPort() : gateway.httpPort());
            client.write(handshake(socks, password, target.serverPort()) +
                         "GET / HTTP/1.1\r\n\r\n");
            const bool closed = QTest::qWaitFor(
                [&] { return client.state() == QAbstractSocket::UnconnectedState; });
            return closed ? received : QByteArray("<still open>");
        };
        const QByteArray refused = exchange(base + "X_country-US");
        QVERIFY2(refused.startsWith(socks ? QByteArray::fromHex("05020101")
                                          : "HTTP/1.1 407 Proxy Authentication Required"),
                 refused.toHex().constData());
        // The target answers and closes at once: its last bytes still reach the client.
        const QByteArray relayed = exchange(base + "_country-JP_session-aB3dE6fG");
        QVERIFY2(relayed.endsWith(target.body()), relayed.constData());
        QTRY_VERIFY(gateway.findChildren<QTcpSocket *>().isEmpty());

        QCOMPARE(gateway.connections().size(), socks ? 2 : 1); // the refused one is not there
        const GatewayConnection seen = gateway.connections().last();
        QCOMPARE(seen.protocol + '|' + seen.user + '|' + seen.basePassword + '|' + seen.country +
                     '|' + seen.session + '|' + QString::number(seen.targetPort),
                 QString(socks ? "socks5|" : "http|") + user + '|' + base + "|JP|aB3dE6fG|" +
                     QString::number(target.serverPort()));
    }
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
