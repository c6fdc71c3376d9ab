#include "accountfixture.h"
#include "accountrequest.h"
#include "accountservice.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

class TestAccountService : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void answers_data();
    void answers();
    void readsRequestInPieces();
    void malformedRequests_data();
    void malformedRequests();
    void fixtureRefused_data();
    void fixtureRefused();

private:
    // "METHOD /path?query"; the form is sent form-encoded, the credentials as Basic.
    QNetworkReply *send(const QString &request, const QByteArray &form = QByteArray(),
                        const QByteArray &credentials = QByteArray());

    std::unique_ptr<AccountService> m_service;
    QNetworkAccessManager m_manager;
};

namespace {

const QByteArray demo = "demo@vexalo.test:demo1234";

// The value at a dotted path ("result.data.0.ip", "result.data.length") as compact JSON.
QByteArray valueAt(QJsonValue value, const QString &path)
{
    for (const QString &key : path.split('.')) {
        if (value.isArray())
            value = key == "length" ? QJsonValue(value.toArray().size())
                                    : value.toArray().at(key.toInt());
        else
            value = value.toObject().value(key);
    }
    if (value.isUndefined())
        return "undefined";
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
}

} // namespace

void TestAccountService::init()
{
    QString error;
    const auto fixture = AccountFixture::load(AccountFixture::defaultPath(), &error);
    QVERIFY2(fixture, qPrintable(error));
    m_service = std::make_unique<AccountService>(*fixture);
    m_service->setGateway(QStringLiteral("127.0.0.1"), 4321);
    QVERIFY(m_service->listen(QHostAddress::LocalHost, 0));
    m_manager.setProxy(QNetworkProxy::NoProxy);

    AccountService second(*fixture);
    QVERIFY(!second.listen(QHostAddress::LocalHost, m_service->port()));
    QVERIFY(second.errorString().contains(QString::number(m_service->port())));
}

QNetworkReply *TestAccountService::send(const QString &request, const QByteArray &form,
                                        const QByteArray &credentials)
{
    QNetworkRequest network(QUrl(m_service->url() + request.section(' ', 1)));
    if (!credentials.isEmpty())
        network.setRawHeader("Authorization", "Basic " + credentials.toBase64());
    if (!form.isEmpty())
        network.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    QNetworkReply *reply =
        m_manager.sendCustomRequest(network, request.section(' ', 0, 0).toLatin1(), form);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(); // one that never finishes fails on its status
    return reply;
}

void TestAccountService::answers_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QByteArray>("credentials");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("checks"); // "path=compact JSON", separated by spaces
    const auto row = [](const char *name, const char *request, const char *form,
                        const QByteArray &credentials, int status, const char *checks) {
        QTest::newRow(name) << QString(request) << QByteArray(form) << credentials << status
                            << QString(checks);
    };
    const QByteArray noPlan = "noplan@vexalo.test:test1234", broken = "broken@vexalo.test:test1234";

    row("login unknown", "POST /public/login", "username=no%40vexalo.test&password=demo1234", "",
        200, R"(code="0" message="USER_NOT_EXIST")");
    row("no Authorization", "POST /v1/querySubUser", "", "", 401, R"(message="unauthorized")");
    row("wrong Basic password", "POST /v1/rotatingIP", "", "demo@vexalo.test:demo", 401,
        R"(code="0" message="unauthorized")");
    row("get_data without plan", "GET /v1/get_data?proxyType=1&country=", "", noPlan, 200,
        R"(code="0" result=undefined)");
    row("iplist every country", "POST /v1/iplist", "pageNo=1&pageSize=1000&countryCode=", demo, 200,
        R"(result.data.length=74 result.data.73.countryCode="SG")");
    row("iplist bad pageNo", "POST /v1/iplist", "pageNo=x&pageSize=10", demo, 200, R"(code="0")");
    row("queryViewTxsIP", "POST /v1/queryViewTxsIP", "", demo, 200,
        R"(result.total_bandwidth.data.total_bandwidth=1234.5)");
    row("queryViewTxsIP broken", "POST /v1/queryViewTxsIP", "", broken, 200,
        R"(code="1" result.total_bandwidth=null)");
    row("getip known", "POST /v1/getip", "ip=192.0.2.11&port=8000", demo, 200,
        R"(result.ip="192.0.2.11" result.countryCode="JP" result.city="Osaka" result.zip="530-0001")");
    row("unknown path", "GET /v2/iplist", "", demo, 404, R"(code="0")");
    row("wrong method", "GET /v1/iplist", "", demo, 405, R"(code="0")");
    row("preflight without credentials", "OPTIONS /v1/rotatingIP", "", "", 204, "");
}

void TestAccountService::answers()
{
    QFETCH(QString, request);
    QFETCH(QByteArray, form);
    QFETCH(QByteArray, credentials);
    QFETCH(QString, checks);
    QNetworkReply *reply = send(request, form, credentials);
    QTEST(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), "status");
    QCOMPARE(reply->rawHeader("Access-Control-Allow-Origin"), QByteArray("*"));
    if (request.startsWith("OPTIONS")) {
        QCOMPARE(reply->rawHeader("Access-Control-Allow-Methods"),
                 QByteArray("GET, POST, OPTIONS"));
        QCOMPARE(reply->rawHeader("Access-Control-Allow-Headers"),
                 QByteArray("Authorization, Content-Type"));
        QCOMPARE(reply->rawHeader("Access-Control-Max-Age"), QByteArray("600"));
        return;
    }
    const QByteArray body = reply->readAll();
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    QVERIFY2(!json.isEmpty(), body.constData());
    for (const QString &check : checks.split(' ')) {
        const int equals = check.indexOf('=');
        QCOMPARE(valueAt(json, check.left(equals)), check.mid(equals + 1).toUtf8());
    }
    if (json.value("code") == "0")
        QVERIFY(!json.value("message").toString().isEmpty());
}

void TestAccountService::readsRequestInPieces()
{
    const QByteArray request = "POST /v1/getip?x=1 HTTP/1.1\r\nContent-Type: "
                               "application/x-www-form-urlencoded; charset=UTF-8\r\n"
                               "Content-Length: 11\r\n\r\nip=1.2.3.4&";
    AccountRequest parsed;
    for (int length = 0; length < request.size(); ++length)
        QVERIFY(AccountRequest::parse(request.left(length), &parsed).status ==
                AccountRequest::Status::Incomplete);
    const AccountRequest::ParseResult whole = AccountRequest::parse(request + "GET", &parsed);
    QVERIFY(whole.status == AccountRequest::Status::Ok);
    QCOMPARE(whole.consumed, request.size());
    QCOMPARE(parsed.formItem("ip") + parsed.queryItem("x"), QStringLiteral("1.2.3.41"));
    const QByteArray huge = "GET / HTTP/1.1\r\nX: " + QByteArray(16 * 1024, 'a') + "\r\n\r\n";
    QVERIFY(AccountRequest::parse(huge, &parsed).status == AccountRequest::Status::Bad);
}

void TestAccountService::malformedRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    const QByteArray post = "POST /public/login HTTP/1.1\r\n";
    QTest::newRow("TLS hello") << QByteArray::fromHex("16030100a5010000a10303");
    QTest::newRow("bad length") << post + "Content-Length: 1x\r\n\r\n";
    // A form body, so that either length alone would make a login.
    QTest::newRow("two lengths") << post + "Content-Type: application/x-www-form-urlencoded\r\n"
                                           "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab";
    QTest::newRow("body over 64 KiB") << post + "Content-Length: 65537\r\n\r\n";
    QTest::newRow("chunked") << post + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n";
    QTest::newRow("JSON body")
        << post + "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
}

void TestAccountService::malformedRequests()
{
    QFETCH(QByteArray, request);
    QTcpSocket socket;
    QByteArray received;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, m_service->port());
    socket.write(request);
    QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY2(received.startsWith("HTTP/1.1 400 "), received.constData());
    QVERIFY(received.contains("\r\nAccess-Control-Allow-Origin: *\r\n"));
    QVERIFY(received.contains("\r\n\r\n{\"code\":\"0\",\"message\":\"") &&
            received.endsWith("\"}"));
    QCOMPARE(send("GET /json")->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
}

void TestAccountService::fixtureRefused_data()
{
    QTest::addColumn<QByteArray>("json"); // null: read the file named by error
    QTest::addColumn<QString>("error");   // a part of the message; empty: the fixture loads
    const QByteArray account = R"({"email":"a@b.test","password":"p","proxyUser":"u",)"
                               R"("proxyAuthKey":"k","plan":"ok","balanceMB":1,"usedMB":0})";
    const QByteArray base =
        R"({"accounts":[)" + account +
        R"(],"ips":[{"ip":"192.0.2.1","countryCode":"JP","region":"","city":"","zip":"",)"
        R"("isp":""}],"locations":[],"gatewayLocation":{"countryCode":"","region":"","city":"",)"
        R"("zip":"","isp":""},"version":{},"geolocation":{}})";
    const auto row = [&](const char *name, const char *error, const QByteArray &from,
                         const QByteArray &to) {
        QTest::newRow(name) << QByteArray(base).replace(from, to) << QString(error);
    };
    row("valid", "", "{}", "{}");
    row("no version", "fixture.version", R"("version":{},)", "");
    row("unknown plan", "accounts[0].plan", R"("plan":"ok")", R"("plan":"gold")");
    row("plan without proxy user", "accounts[0].proxyUser", R"("proxyUser":"u",)", "");
    row("same e-mail twice", "accounts[1].email", R"("accounts":[)",
        R"("accounts":[)" + QByteArray(account).replace("a@b", "A@B") + ',');
    row("ip row without isp", "ips[0].isp", R"(,"isp":""}])", "}]");
    row("ip not canonical", "ips[0].ip", "192.0.2.1", "192.0.2");
    QTest::newRow("not JSON") << QByteArray("{\"accounts\": [") << QString("not JSON");
    QTest::newRow("unreadable file") << QByteArray() << QString("/nonexistent/fixture.json");
}

void TestAccountService::fixtureRefused()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    QString message;
    const std::optional<AccountFixture> fixture = json.isNull()
                                                      ? AccountFixture::load(error, &message)
                                                      : AccountFixture::fromJson(json, &message);
    QCOMPARE(bool(fixture), error.isEmpty());
    QVERIFY2(message.contains(error), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestAccountService)
#include "tst_accountservice.moc"
