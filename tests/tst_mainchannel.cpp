#include "bridge/mainchannel.h"
#include "bridge/pagecall.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

// The bridge both ways: every page message goes through sendMsg, and a wrong code must never
// reach a handler; the pages run the scripts' text as it is, so it is checked as they read it.
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
    const auto row = [](const char *message, const char *signal, const QVariant &payload = {}) {
        QTest::newRow(message) << QString(message) << QString(signal) << payload;
    };
    row(R"({"code":1,"data":{"username":"ann@example.com","password":"pw"}})", "sigPararms",
        QJsonObject{{"username", "ann@example.com"}, {"password", "pw"}});
    row(R"({"code":2,"data":"tok-1"})", "sigSaveSendLogin", QString("tok-1"));
    row(R"({"code":3,"data":{"ip":"1.2.3.4","port":8000}})", "sigSendStart",
        QJsonObject{{"ip", "1.2.3.4"}, {"port", 8000}});
    row(R"({"code": 4})", "sigSendRunProxyList");
    row(R"({"code":5,"data":60005})", "sigDelConfig", 60005);
    row(R"({"code":5,"data":"60005"})", "sigDelConfig", 0); // a port as text is no port
    row(R"({"code":6,"data":{"local_port":60003}})", "sigHtmlConfig",
        QJsonObject{{"local_port", 60003}});
    row(R"({"code": 7})", "sigLignOut");
    row(R"({"code": 8})", "sigCheckIp");
    row(R"({"code":9,"data":{"url":"https://example.com/a"}})", "sigOpenUrl",
        QJsonObject{{"url", "https://example.com/a"}});
    row(R"({"code":10,"data":{"language":"_en","x":"中文"}})", "siglanguage",
        QJsonObject{{"language", "_en"}, {"x", "中文"}});
    row(R"({"data":{"username":"u"},"code":11})", "sigIsSendLogin", QJsonObject{{"username", "u"}});
    for (const char *malformed : {R"({"code":"4"})", R"({"code":0})", R"({"code":12,"data":{}})",
                                  R"({"code":2.5,"data":"x"})", R"([{"code":4}])", "code=4"})
        row(malformed, "");
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
    // UTF-8 JSON in Base64 without line breaks.
    const QJsonObject report{{"city", "東京"},
                             {"localIps", QJsonArray{"127.0.0.1", "192.168.1.20"}}};
    const QString call = PageCall::sigCheckIp(report);
    QVERIFY2(QRegularExpression("^sigCheckIp\\('[A-Za-z0-9+/]+=*'\\)$").match(call).hasMatch(),
             qPrintable(call));
    QCOMPARE(QJsonDocument::fromJson(QByteArray::fromBase64(call.mid(12).toLatin1())).object(),
             report);
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
