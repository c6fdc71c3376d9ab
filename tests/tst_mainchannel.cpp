#include "bridge/mainchannel.h"
#include "bridge/pagecall.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

// The bridge both ways: every page message goes through sendMsg, and a wrong code must never
// reach a handler; the pages decode exactly what the scripts carry, so they are checked byte
// for byte.
class TestMainChannel : public QObject
{
    Q_OBJECT

private slots:
    void decodesEachCode_data();
    void decodesEachCode();
    void scripts();
};

void TestMainChannel::decodesEachCode_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("signal"); // empty: no signal at all
    QTest::addColumn<QVariant>("payload");

    const QJsonObject account{{"username", "ann@example.com"}, {"password", "pw"}};
    QTest::newRow("1 parameters")
        << R"({"code":1,"data":{"username":"ann@example.com","password":"pw"}})"
        << "sigPararms" << QVariant(account);
    QTest::newRow("2 token string") << R"({"code":2,"data":"tok-1"})"
                                    << "sigSaveSendLogin" << QVariant(QString("tok-1"));
    QTest::newRow("3 start") << R"({"code":3,"data":{"ip":"1.2.3.4","port":8000}})"
                             << "sigSendStart"
                             << QVariant(QJsonObject{{"ip", "1.2.3.4"}, {"port", 8000}});
    QTest::newRow("4 run list") << R"({"code": 4})"
                                << "sigSendRunProxyList" << QVariant();
    QTest::newRow("5 delete port") << R"({"code":5,"data":60005})"
                                   << "sigDelConfig" << QVariant(60005);
    QTest::newRow("5 string port gives 0") << R"({"code":5,"data":"60005"})"
                                           << "sigDelConfig" << QVariant(0);
    QTest::newRow("6 rotating start")
        << R"({"code":6,"data":{"local_port":60003}})"
        << "sigHtmlConfig" << QVariant(QJsonObject{{"local_port", 60003}});
    QTest::newRow("7 logout") << R"({"code": 7})"
                              << "sigLignOut" << QVariant();
    QTest::newRow("8 check ip") << R"({"code": 8})"
                                << "sigCheckIp" << QVariant();
    QTest::newRow("9 open url") << R"({"code":9,"data":{"url":"https://example.com/a"}})"
                                << "sigOpenUrl"
                                << QVariant(QJsonObject{{"url", "https://example.com/a"}});
    QTest::newRow("10 language, non-ASCII kept")
        << R"({"code":10,"data":{"language":"_en","x":"中文"}})"
        << "siglanguage" << QVariant(QJsonObject{{"language", "_en"}, {"x", "中文"}});
    QTest::newRow("11 login state") << R"({"data":{"username":"u"},"code":11})"
                                    << "sigIsSendLogin" << QVariant(QJsonObject{{"username", "u"}});

    for (const char *malformed : {R"({"code":"4"})", R"({"code":0})", R"({"code":12,"data":{}})",
                                  R"({"code":2.5,"data":"x"})", R"([{"code":4}])", "code=4"})
        QTest::newRow(malformed) << malformed << QString() << QVariant();
}

void TestMainChannel::decodesEachCode()
{
    QFETCH(QString, message);
    QFETCH(QString, signal);
    QFETCH(QVariant, payload);

    // One spy per signal of the bridge, found through the meta-object so none is forgotten.
    MainChannel channel;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    const QMetaObject *meta = channel.metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            spies.emplace_back(new QSignalSpy(&channel, meta->method(i)));
    }
    QCOMPARE(int(spies.size()), 11);

    channel.sendMsg(message);

    int emissions = 0;
    for (const auto &spy : spies) {
        if (spy->count() == 0)
            continue;
        emissions += spy->count();
        QVERIFY2(spy->signal().startsWith(signal.toLatin1() + '('), spy->signal().constData());
        const QList<QVariant> arguments = spy->takeFirst();
        if (payload.isValid())
            QCOMPARE(arguments, QList<QVariant>{payload});
        else
            QVERIFY(arguments.isEmpty());
    }
    QCOMPARE(emissions, signal.isEmpty() ? 0 : 1);
}

void TestMainChannel::scripts()
{
    // Keys sorted, indented, UTF-8, then Base64 without line breaks.
    const QJsonObject report{{"query", "203.0.113.7"},
                             {"city", "東京"},
                             {"localIps", QJsonArray{"127.0.0.1", "192.168.1.20"}}};
    const QByteArray indented = "{\n"
                                "    \"city\": \"東京\",\n"
                                "    \"localIps\": [\n"
                                "        \"127.0.0.1\",\n"
                                "        \"192.168.1.20\"\n"
                                "    ],\n"
                                "    \"query\": \"203.0.113.7\"\n"
                                "}\n";
    QCOMPARE(PageCall::sigCheckIp(report),
             "sigCheckIp('" + QString::fromLatin1(indented.toBase64()) + "')");
    QCOMPARE(PageCall::sigSendRunProxyList(QByteArray("{\"inbounds\":[]}")),
             QString("sigSendRunProxyList('eyJpbmJvdW5kcyI6W119')")); // bytes as they are
    QCOMPARE(PageCall::sigSendDelRow(-3), QString("sigSendDelRow(-3)"));
    // Text as a single-quoted literal that nothing in it can end.
    QCOMPARE(PageCall::checkversion("https://example.com/dl/Vexalo-1.2.0.exe?a=1&b=%20"),
             QString("checkversion('https://example.com/dl/Vexalo-1.2.0.exe?a=1&b=%20')"));
    QCOMPARE(PageCall::checkversion("x');alert(1);//"),
             QString("checkversion('x\\');alert(1);//')"));
    QCOMPARE(PageCall::setlanguage(QString("a\\b\nc\rd") + QChar(0x2028) + QChar(0x2029)),
             QString("setlanguage('a\\\\b\\nc\\rd\\u2028\\u2029')"));
}

QTEST_GUILESS_MAIN(TestMainChannel)
#include "tst_mainchannel.moc"
