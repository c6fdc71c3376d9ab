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
    void addedEntryIsWhatTheCoreReads();
    void password();
    void ports_data();
    void ports();
    void rewriteRemoveAndChoiceKeepToTheirEntry();
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

void TestProxyEntries::addedEntryIsWhatTheCoreReads()
{
    QJsonObject root = document();
    add(root, 60001, request(60001));
    // The inbound listens on every address: programs on the local network use it too.
    const QJsonDocument expected = QJsonDocument::fromJson(R"({
        "dns": {"servers": ["8.8.8.8", "8.8.4.4", "localhost"]},
        "inbounds": [{"listen": "0.0.0.0", "port": 60001, "protocol": "socks", "tag": "socks_60001",
                      "settings": {"auth": "noauth", "udp": true, "ip": "127.0.0.1"}}],
        "log": {"loglevel": "warning"},
        "outbounds": [{"protocol": "http", "sid": 42, "tag": "proxy_60001", "settings": {"servers": [
            {"address": "gw.example.net", "port": 7777,
             "users": [{"user": "vx", "pass": "base_country-US_session-S3ss10nX"}]}]}}],
        "routing": {"domainStrategy": "IPOnDemand", "strategy": "rules", "rules": [
            {"type": "field", "outboundTag": "proxy_60001", "inboundTag": ["socks_60001"]}]}})");
    QVERIFY(expected.isObject());
    QCOMPARE(QJsonDocument(root).toJson(QJsonDocument::Compact),
             expected.toJson(QJsonDocument::Compact));
}

void TestProxyEntries::password()
{
    const struct
    {
        QJsonValue country, gender;
        const char *pass;
    } rows[] = {
        {"JP", false, "pw_country-JP"},
        {"JP", "true", "pw_country-JP"}, // only a JSON true is sticky
        {"", true, "pw_country-_session-S3ss10nX"},
        {QJsonValue(), true, "pw_session-S3ss10nX"},
    };
    for (const auto &row : rows) {
        const QJsonObject req{
            {"password", "pw"}, {"counrtyList", row.country}, {"gender", row.gender}};
        QCOMPARE(composePassword(req, fixedSession), QString(row.pass));
    }
    const QJsonObject noPassword{{"ip", "h"}, {"port", 1}, {"username", "u"}};
    QVERIFY(!server(noPassword, fixedSession).object.contains("users"));
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
    QTest::newRow("65535") << QJsonValue(65535) << 65535 << 65535;
    QTest::newRow("0") << QJsonValue(0) << 0 << 0;
    QTest::newRow("65536 would wrap") << QJsonValue(65536) << 0 << 0;
    QTest::newRow("fraction") << QJsonValue(60001.5) << 0 << 0;
    QTest::newRow("decimal text") << QJsonValue("8080") << 0 << 8080;
    QTest::newRow("text with blank") << QJsonValue(" 8080") << 0 << 0;
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

void TestProxyEntries::rewriteRemoveAndChoiceKeepToTheirEntry()
{
    QJsonObject root = document();
    add(root, 60001, request(60001));
    add(root, 60002, request(60002));
    const QJsonObject both = root;
    QJsonObject lower = request(60001);
    lower.insert("proxyType", "socks");
    QVERIFY(rewriteEntry(root, 60001, server(lower, fixedSession).object, lower));
    QCOMPARE(root, both); // an unknown type keeps the protocol it had

    // A rewrite changes only the server and, for a known type, the protocol: tag and "sid"
    // stay, and the other entry is untouched.
    QJsonObject second = request(60001, "DE", false);
    second.insert("proxyType", "SOCKS");
    second.insert("sid", 99);
    const QJsonObject checked = server(second, fixedSession).object;
    QVERIFY(rewriteEntry(root, 60001, checked, second));
    QJsonArray outbounds = both.value("outbounds").toArray();
    QJsonObject rewritten = outbounds.at(0).toObject();
    rewritten.insert("protocol", "socks");
    rewritten.insert("settings", QJsonObject{{"servers", QJsonArray{checked}}});
    outbounds.replace(0, rewritten);
    QJsonObject expected = both;
    expected.insert("outbounds", outbounds);
    QCOMPARE(root, expected);
    QVERIFY(!rewriteEntry(root, 60003, checked, second));

    root = both;
    removeEntry(root, 60009);
    QCOMPARE(root, both);
    removeEntry(root, 60001);
    expected = document();
    add(expected, 60002, request(60002));
    QCOMPARE(root, expected);

    // While the core is down the system reports the document's own ports as free.
    QCOMPARE(usedPorts(both), (QSet<quint16>{60001, 60002}));
    QList<quint16> offered{60001, 60002, 60003};
    QCOMPARE(choosePort(usedPorts(both), [&offered] { return offered.takeFirst(); }),
             quint16(60003));
    QCOMPARE(choosePort({}, [] { return quint16(0); }), quint16(0));
    QCOMPARE(choosePort({60001}, [] { return quint16(60001); }), quint16(0));
}

void TestProxyEntries::sessionIdsAreRandomPerCall()
{
    // Fast successive calls: ids seeded from the clock would repeat here.
    QSet<QString> ids;
    for (int i = 0; i < 1000; ++i)
        ids.insert(randomString(8));
    QCOMPARE(ids.size(), 1000);
    for (const QString &id : ids)
        QVERIFY2(QRegularExpression("^[a-zA-Z0-9]{8}$").match(id).hasMatch(), qPrintable(id));
}

QTEST_APPLESS_MAIN(TestProxyEntries)
#include "tst_proxyentries.moc"
