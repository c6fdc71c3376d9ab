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
};

void TestPageCall::scripts_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");

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
    QTest::newRow("object as indented JSON")
        << PageCall::sigCheckIp(report)
        << "sigCheckIp('" + QString::fromLatin1(indented.toBase64()) + "')";
    QTest::newRow("run list takes bytes as they are")
        << PageCall::sigSendRunProxyList(QByteArray("{\"inbounds\":[]}"))
        << "sigSendRunProxyList('eyJpbmJvdW5kcyI6W119')";
    QTest::newRow("number") << PageCall::sigSendDelRow(-3) << "sigSendDelRow(-3)";
    QTest::newRow("version url unchanged")
        << PageCall::checkversion("https://example.com/dl/Vexalo-1.2.0.exe?a=1&b=%20")
        << "checkversion('https://example.com/dl/Vexalo-1.2.0.exe?a=1&b=%20')";
    QTest::newRow("quote cannot end the literal")
        << PageCall::checkversion("x');alert(1);//") << "checkversion('x\\');alert(1);//')";
    QTest::newRow("backslash and line breaks")
        << PageCall::setlanguage(QString("a\\b\nc\rd") + QChar(0x2028) + QChar(0x2029))
        << "setlanguage('a\\\\b\\nc\\rd\\u2028\\u2029')";
}

void TestPageCall::scripts()
{
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QCOMPARE(script, expected);
}

QTEST_APPLESS_MAIN(TestPageCall)
#include "tst_pagecall.moc"
