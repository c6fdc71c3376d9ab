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
    void ports_data();
    void ports();
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
    QCOMPARE(templateText(),
             QByteArray(R"({"dns":{"servers":["8.8.8.8","8.8.4.4","localhost"]},"inbounds":[],)"
                        R"("log":{"loglevel":"warning"},"outbounds":[],)"
                        R"("routing":{"domainStrategy":"IPOnDemand","rules":[],)"
                        R"("strategy":"rules"}})"));
}

void TestProxyEntries::addedEntryIsWhatTheCoreReads()
{
    QJsonObject root = document();
    QJsonObject req = request(60001);
    req.insert("port", "7777"); // pages send the server port as text at times
    add(root, 60001, req);

    // Listening on every address: programs on the local network use the proxies too.
    QCOMPARE(root.value("inbounds").toArray().at(0).toObject(),
             (QJsonObject{
                 {"listen", "0.0.0.0"},
                 {"port", 60001},
                 {"protocol", "socks"},
                 {"settings", QJsonObject{{"auth", "noauth"}, {"udp", true}, {"ip", "127.0.0.1"}}},
                 {"tag", "socks_60001"}}));
    const QJsonObject server{
        {"address", "gw.example.net"},
        {"port", 7777}, // a number for the core, whatever arrived
        {"users",
         QJsonArray{QJsonObject{{"user", "vx"}, {"pass", "base_country-US_session-S3ss10nX"}}}}};
    QCOMPARE(root.value("outbounds").toArray().at(0).toObject(),
             (QJsonObject{{"protocol", "http"},
                          {"settings", QJsonObject{{"servers", QJsonArray{server}}}},
                          {"sid", 42},
                          {"tag", "proxy_60001"}}));
    QCOMPARE(root.value("routing").toObject().value("rules").toArray().at(0).toObject(),
             (QJsonObject{{"type", "field"},
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
    }
}

// The local port and the upstream port: a whole number from 1 to 65535, the upstream one
// also as decimal text. 0: refused; -1: absent, a port is picked.
void TestProxyEntries::ports_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("local");
    QTest::addColumn<int>("upstream");

    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << -1 << 0;
    QTest::newRow("null") << QJsonValue() << -1 << 0;
    QTest::newRow("60001") << QJsonValue(60001) << 60001 << 60001;
    QTest::newRow("65535") << QJsonValue(65535) << 65535 << 65535;
    QTest::newRow("0") << QJsonValue(0) << 0 << 0;
    QTest::newRow("65536 would wrap") << QJsonValue(65536) << 0 << 0;
    QTest::newRow("fraction") << QJsonValue(60001.5) << 0 << 0;
    QTest::newRow("decimal text") << QJsonValue("8080") << 0 << 8080;
    QTest::newRow("text with blank") << QJsonValue(" 8080") << 0 << 0;
    QTest::newRow("word") << QJsonValue("http") << 0 << 0;
}

void TestProxyEntries::ports()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, local);
    QFETCH(int, upstream);
    QJsonObject req{{"ip", "h"}};
    if (!value.isUndefined()) {
        req.insert("local_port", value);
        req.insert("port", value);
    }
    const LocalPort checkedLocal = localPort(req);
    QCOMPARE(checkedLocal.present, local != -1);
    QCOMPARE(int(checkedLocal.port), qMax(local, 0));
    QCOMPARE(checkedLocal.error.isEmpty(), local != 0);

    const Server checked = server(req, fixedSession);
    QCOMPARE(checked.error.isEmpty(), upstream != 0);
    if (upstream != 0)
        QCOMPARE(checked.object.value("port"), QJsonValue(upstream));
    req.insert("port", 80);
    req.insert("ip", "");
    QVERIFY(!server(req, fixedSession).error.isEmpty()); // an empty address is refused
}

void TestProxyEntries::rewriteKeepsTagAndSid()
{
    QJsonObject root = document();
    add(root, 60001, request(60001));
    add(root, 60002, request(60002));
    const QJsonObject before = root;

    QJsonObject second = request(60001, "DE", false);
    second.insert("ip", "other.example.net");
    second.insert("proxyType", "SOCKS");
    second.insert("sid", 99);
    const Server checked = server(second, fixedSession);
    QVERIFY(rewriteEntry(root, 60001, checked.object, second));
    // Only the server and the protocol of that outbound change.
    QJsonArray outbounds = before.value("outbounds").toArray();
    outbounds.replace(
        0, QJsonObject{{"protocol", "socks"},
                       {"settings", QJsonObject{{"servers", QJsonArray{checked.object}}}},
                       {"sid", 42},
                       {"tag", "proxy_60001"}});
    QJsonObject expected = before;
    expected.insert("outbounds", outbounds);
    QCOMPARE(root, expected);

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
}

QTEST_APPLESS_MAIN(TestProxyEntries)
#include "tst_proxyentries.moc"
