#include "bridge/pagecall.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

// The pages decode exactly what these scripts carry, so they are checked byte for byte.
class TestPageCall : public QObject
{
    Q_OBJECT

private slots:
    void scripts_data();
    void scripts();
    void base64CarriesIndentedUtf8Json();
};

void TestPageCall::scripts_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");

    const QJsonObject small{{"b", 1}, {"a", "x"}};
    // {\n    "a": "x",\n    "b": 1\n}\n
    const QString smallBase64 = QStringLiteral("ewogICAgImEiOiAieCIsCiAgICAiYiI6IDEKfQo=");
    QTest::newRow("sigIsSendLogin, keys sorted, indented")
        << PageCall::sigIsSendLogin(small) << "sigIsSendLogin('" + smallBase64 + "')";
    QTest::newRow("sigCheckIp") << PageCall::sigCheckIp(small)
                                << "sigCheckIp('" + smallBase64 + "')";
    QTest::newRow("sigIshttpProxy")
        << PageCall::sigIshttpProxy(small) << "sigIshttpProxy('" + smallBase64 + "')";
    QTest::newRow("empty object") << PageCall::sigIsSendLogin(QJsonObject())
                                  << "sigIsSendLogin('ewp9Cg==')"; // "{\n}\n"
    QTest::newRow("run list takes bytes as they are")
        << PageCall::sigSendRunProxyList(QByteArray("{\"inbounds\":[]}"))
        << "sigSendRunProxyList('eyJpbmJvdW5kcyI6W119')";
    QTest::newRow("run list of nothing")
        << PageCall::sigSendRunProxyList(QByteArray()) << "sigSendRunProxyList('')";
    QTest::newRow("port") << PageCall::sigSendMessageToJS(60003) << "sigSendMessageToJS(60003)";
    QTest::newRow("deleted row") << PageCall::sigSendDelRow(60005) << "sigSendDelRow(60005)";
    QTest::newRow("deleted row negative") << PageCall::sigSendDelRow(-3) << "sigSendDelRow(-3)";
    QTest::newRow("logout _cn") << PageCall::sigLignOutToJS("_cn") << "sigLignOutToJS('_cn')";
    QTest::newRow("language _en") << PageCall::setlanguage("_en") << "setlanguage('_en')";
    QTest::newRow("version url unchanged")
        << PageCall::checkversion("https://example.com/dl/Vexalo-1.2.0.exe?a=1&b=%20")
        << "checkversion('https://example.com/dl/Vexalo-1.2.0.exe?a=1&b=%20')";
    QTest::newRow("quote cannot end the literal")
        << PageCall::checkversion("x');alert(1);//") << "checkversion('x\\');alert(1);//')";
    QTest::newRow("backslash and line breaks")
        << PageCall::setlanguage(QString("a\\b\nc\rd") + QChar(0x2028) + QChar(0x2029))
        << "setlanguage('a\\\\b\\nc\\rd\\u2028\\u2029')";
    QTest::newRow("start error") << PageCall::startError() << QString("errormsg('开启错误')");
    QTest::newRow("start failed") << PageCall::startFailed() << QString("errormsg('开启失败')");
}

void TestPageCall::scripts()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QCOMPARE(script, expected);
}

void TestPageCall::base64CarriesIndentedUtf8Json()
{
    const QJsonObject report{{"query", "203.0.113.7"},
                             {"city", "東京"},
                             {"localIps", QJsonArray{"127.0.0.1", "192.168.1.20"}}};
    const QString script = PageCall::sigCheckIp(report);
    QVERIFY(script.startsWith("sigCheckIp('"));
    QVERIFY(script.endsWith("')"));
    const QByteArray base64 = script.mid(12, script.size() - 14).toLatin1();
    QCOMPARE(base64.indexOf('\n'), -1);

    const QByteArray expected = "{\n"
                                "    \"city\": \"東京\",\n"
                                "    \"localIps\": [\n"
                                "        \"127.0.0.1\",\n"
                                "        \"192.168.1.20\"\n"
                                "    ],\n"
                                "    \"query\": \"203.0.113.7\"\n"
                                "}\n";
    QCOMPARE(QByteArray::fromBase64(base64, QByteArray::AbortOnBase64DecodingErrors), expected);
}

QTEST_APPLESS_MAIN(TestPageCall)
#include "tst_pagecall.moc"
