#include "core/proxyentries.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QtTest>

using namespace ProxyEntries;

class TestProxyEntries : public QObject
{
    Q_OBJECT

private slots:
    void templateIsTheCoreDocument();
    void addedEntryIsWhatTheCoreReads();
    void password_data();
    void password();
    void serverRefusesWhatTheCoreRejects_data();
    void serverRefusesWhatTheCoreRejects();
    void localPort_data();
    void localPort();
    void rewriteKeepsTagAndSid();
    void removeDropsTheWholeTripleOnly();
    void chosenPortIsNotInTheDocument();
    void sessionIdsAreRandomPerCall();
};

namespace {

const auto fixedSession = [] {
    return QStringLiteral("S3ss10nX");
};

QJsonObject document()
{
    return QJsonDocument::fromJson(templateText()).object();
}

QJsonObject request(int localPort, const QString &country = "US", bool sticky = true)
{
    return QJsonObject{{"ip", "gw.example.net"},  {"port", 7777},           {"username", "vx"},
                       {"password", "base"},      {"proxyType", "HTTP"},    {"sid", 42},
                       {"local_port", localPort}, {"counrtyList", country}, {"gender", sticky}};
}

void add(QJsonObject &root, int port, const QJsonObject &req)
{
    const Server checked = server(req, fixedSession);
    QVERIFY2(checked.error.isEmpty(), qPrintable(checked.error));
    appendEntry(root, port, checked.object, req);
}

} // namespace

void TestProxyEntries::templateIsTheCoreDocument()
{
    const QByteArray text = templateText();
    QCOMPARE(text.size(), 183);
    QVERIFY(!text.contains(' ') && !text.contains('\n'));
    const QJsonObject root = document();
    QCOMPARE(root.value("dns").toObject().value("servers").toArray(),
             (QJsonArray{"8.8.8.8", "8.8.4.4", "localhost"}));
    QCOMPARE(root.value("routing").toObject().value("domainStrategy").toString(),
             QString("IPOnDemand"));
    // Writing the parsed template compactly gives it back: keys already in Qt's order.
    QCOMPARE(QJsonDocument(root).toJson(QJsonDocument::Compact), text);
}

void TestProxyEntries::addedEntryIsWhatTheCoreReads()
{
    QJsonObject root = document();
    QJsonObject req = request(60001);
    req.insert("port", "7777"); // pages send the server port as text at times
    add(root, 60001, req);

    const QJsonObject in = root.value("inbounds").toArray().at(0).toObject();
    QCOMPARE(in, inbound(60001));
    QCOMPARE(in.value("port"), QJsonValue(60001));
    QCOMPARE(in.value("tag").toString(), QString("socks_60001"));
    QCOMPARE(in.value("settings").toObject(),
             (QJsonObject{{"auth", "noauth"}, {"udp", true}, {"ip", "127.0.0.1"}}));

    const QJsonObject out = root.value("outbounds").toArray().at(0).toObject();
    QCOMPARE(out.value("tag").toString(), QString("proxy_60001"));
    QCOMPARE(out.value("protocol").toString(), QString("http"));
    QCOMPARE(out.value("sid"), QJsonValue(42));
    const QJsonObject srv =
        out.value("settings").toObject().value("servers").toArray().at(0).toObject();
    QCOMPARE(srv.value("port"), QJsonValue(7777)); // a number for the core, whatever arrived
    QCOMPARE(srv.value("address").toString(), QString("gw.example.net"));
    QCOMPARE(srv.value("users").toArray().at(0).toObject(),
             (QJsonObject{{"user", "vx"}, {"pass", "base_country-US_session-S3ss10nX"}}));

    const QJsonObject r =
        root.value("routing").toObject().value("rules").toArray().at(0).toObject();
    QCOMPARE(r, (QJsonObject{{"type", "field"},
                             {"outboundTag", "proxy_60001"},
                             {"inboundTag", QJsonArray{"socks_60001"}}}));
}

void TestProxyEntries::password_data()
{
    QTest::addColumn<QJsonObject>("req");
    QTest::addColumn<QString>("expected"); // "-" when the server gets no users

    const QJsonObject base{{"ip", "h"}, {"port", 1}, {"username", "u"}, {"password", "pw"}};
    auto with = [&](std::initializer_list<QPair<QString, QJsonValue>> extra) {
        QJsonObject o = base;
        for (const auto &kv : extra)
            o.insert(kv.first, kv.second);
        return o;
    };
    QTest::newRow("country and sticky")
        << with({{"counrtyList", "US"}, {"gender", true}}) << "pw_country-US_session-S3ss10nX";
    QTest::newRow("not sticky") << with({{"counrtyList", "JP"}, {"gender", false}})
                                << "pw_country-JP";
    QTest::newRow("gender as text is not sticky")
        << with({{"counrtyList", "JP"}, {"gender", "true"}}) << "pw_country-JP";
    QTest::newRow("empty country kept")
        << with({{"counrtyList", ""}, {"gender", true}}) << "pw_country-_session-S3ss10nX";
    QTest::newRow("null country left out") << with({{"counrtyList", QJsonValue()}}) << "pw";
    QTest::newRow("no password, no users") << with({{"password", QJsonValue()}}) << "-";
    QJsonObject noUser = base;
    noUser.remove("username");
    QTest::newRow("no username, no users") << noUser << "-";
}

void TestProxyEntries::password()
{
    QFETCH(QJsonObject, req);
    QFETCH(QString, expected);
    const Server checked = server(req, fixedSession);
    QVERIFY(checked.error.isEmpty());
    const QJsonArray users = checked.object.value("users").toArray();
    if (expected == "-") {
        QVERIFY(!checked.object.contains("users"));
    } else {
        QCOMPARE(users.size(), 1);
        QCOMPARE(users.at(0).toObject().value("pass").toString(), expected);
        QCOMPARE(users.at(0).toObject().value("user").toString(), QString("u"));
    }
}

void TestProxyEntries::serverRefusesWhatTheCoreRejects_data()
{
    QTest::addColumn<QJsonValue>("ip");
    QTest::addColumn<QJsonValue>("port");
    QTest::addColumn<int>("written"); // 0: refused

    QTest::newRow("number port") << QJsonValue("h") << QJsonValue(8080) << 8080;
    QTest::newRow("decimal text port") << QJsonValue("h") << QJsonValue("8080") << 8080;
    QTest::newRow("text port with blank") << QJsonValue("h") << QJsonValue(" 8080") << 0;
    QTest::newRow("word port") << QJsonValue("h") << QJsonValue("http") << 0;
    QTest::newRow("port 65536") << QJsonValue("h") << QJsonValue(65536) << 0;
    QTest::newRow("fractional port") << QJsonValue("h") << QJsonValue(80.5) << 0;
    QTest::newRow("missing address") << QJsonValue(QJsonValue::Undefined) << QJsonValue(80) << 0;
    QTest::newRow("empty address") << QJsonValue("") << QJsonValue(80) << 0;
}

void TestProxyEntries::serverRefusesWhatTheCoreRejects()
{
    QFETCH(QJsonValue, ip);
    QFETCH(QJsonValue, port);
    QFETCH(int, written);
    QJsonObject req;
    if (!ip.isUndefined())
        req.insert("ip", ip);
    if (!port.isUndefined())
        req.insert("port", port);
    const Server checked = server(req, fixedSession);
    if (written == 0) {
        QVERIFY(!checked.error.isEmpty());
    } else {
        QVERIFY2(checked.error.isEmpty(), qPrintable(checked.error));
        QCOMPARE(checked.object.value("port"), QJsonValue(written));
    }
}

void TestProxyEntries::localPort_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("port"); // 0 with present: refused

    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << false << 0;
    QTest::newRow("null picks a port") << QJsonValue() << false << 0;
    QTest::newRow("60001") << QJsonValue(60001) << true << 60001;
    QTest::newRow("0 refused") << QJsonValue(0) << true << 0;
    QTest::newRow("65536 would wrap") << QJsonValue(65536) << true << 0;
    QTest::newRow("fraction") << QJsonValue(60001.5) << true << 0;
    QTest::newRow("text") << QJsonValue("60001") << true << 0;
}

void TestProxyEntries::localPort()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, present);
    QFETCH(int, port);
    QJsonObject req;
    if (!value.isUndefined())
        req.insert("local_port", value);
    const LocalPort local = ProxyEntries::localPort(req);
    QCOMPARE(local.present, present);
    QCOMPARE(int(local.port), port);
    QCOMPARE(local.error.isEmpty(), !present || port != 0);
}

void TestProxyEntries::rewriteKeepsTagAndSid()
{
    QJsonObject root = document();
    add(root, 60001, request(60001));
    add(root, 60002, request(60002));

    QJsonObject second = request(60001, "DE", false);
    second.insert("ip", "other.example.net");
    second.insert("proxyType", "SOCKS");
    second.insert("sid", 99);
    const Server checked = server(second, fixedSession);
    QVERIFY(rewriteEntry(root, 60001, checked.object, second));

    const QJsonArray outbounds = root.value("outbounds").toArray();
    QCOMPARE(outbounds.size(), 2);
    QCOMPARE(root.value("inbounds").toArray().size(), 2);
    const QJsonObject out = outbounds.at(0).toObject();
    QCOMPARE(out.value("tag").toString(), QString("proxy_60001"));
    QCOMPARE(out.value("sid"), QJsonValue(42));
    QCOMPARE(out.value("protocol").toString(), QString("socks"));
    const QJsonObject srv =
        out.value("settings").toObject().value("servers").toArray().at(0).toObject();
    QCOMPARE(srv.value("address").toString(), QString("other.example.net"));
    // Not sticky stays not sticky on a rewrite.
    QCOMPARE(srv.value("users").toArray().at(0).toObject().value("pass").toString(),
             QString("base_country-DE"));

    QJsonObject lower = second;
    lower.insert("proxyType", "socks");
    QVERIFY(rewriteEntry(root, 60002, server(lower, fixedSession).object, lower));
    QCOMPARE(root.value("outbounds").toArray().at(1).toObject().value("protocol").toString(),
             QString("http")); // an unknown type keeps the protocol it had

    QVERIFY(!rewriteEntry(root, 60003, checked.object, second));
}

void TestProxyEntries::removeDropsTheWholeTripleOnly()
{
    QJsonObject root = document();
    add(root, 60001, request(60001));
    add(root, 60002, request(60002));
    const QJsonObject withBoth = root;

    removeEntry(root, 60009);
    QCOMPARE(root, withBoth);

    removeEntry(root, 60001);
    QJsonObject expected = document();
    add(expected, 60002, request(60002));
    QCOMPARE(root, expected);
    QVERIFY(!hasEntry(root, 60001));
    QVERIFY(hasEntry(root, 60002));
}

void TestProxyEntries::chosenPortIsNotInTheDocument()
{
    QJsonObject root = document();
    add(root, 40001, request(40001));
    add(root, 40002, request(40002));
    QCOMPARE(usedPorts(root), (QSet<quint16>{40001, 40002}));

    // While the core is down the system reports the document's own ports as free.
    QList<quint16> offered{40001, 40002, 40003};
    const auto system = [&offered] {
        return offered.takeFirst();
    };
    QCOMPARE(choosePort(usedPorts(root), system), quint16(40003));

    QCOMPARE(choosePort({}, [] { return quint16(0); }), quint16(0));
    QCOMPARE(choosePort({40001}, [] { return quint16(40001); }), quint16(0));
}

void TestProxyEntries::sessionIdsAreRandomPerCall()
{
    static const QRegularExpression id("^[a-zA-Z0-9]{8}$");
    QSet<QString> ids;
    // Fast successive calls: ids seeded from the clock would repeat here.
    for (int i = 0; i < 1000; ++i) {
        const QString s = randomString(8);
        QVERIFY2(id.match(s).hasMatch(), qPrintable(s));
        ids.insert(s);
    }
    QCOMPARE(ids.size(), 1000);
    QCOMPARE(randomString(0), QString());
}

QTEST_APPLESS_MAIN(TestProxyEntries)
#include "tst_proxyentries.moc"
