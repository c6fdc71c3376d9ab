#include "util/base64.h"

#include <QRandomGenerator>
#include <QtTest>

// The fast codec must give exactly Qt's results, or refuse so that Qt's decoder runs.
class TestBase64 : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithQtAtEveryLength();
    void refusesWhatIsNotWellFormed_data();
    void refusesWhatIsNotWellFormed();
};

void TestBase64::agreesWithQtAtEveryLength()
{
    QRandomGenerator rng(7);
    for (int length = 0; length < 300; ++length) {
        QByteArray data(length, Qt::Uninitialized);
        for (char &c : data)
            c = char(rng.bounded(256));
        const QByteArray text = Base64::encode(data);
        QCOMPARE(text, data.toBase64());
        QByteArray decoded("stale");
        QVERIFY(Base64::decodeStrict(text, &decoded));
        QCOMPARE(decoded, data);
    }
}

void TestBase64::refusesWhatIsNotWellFormed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("length not a multiple of four") << QByteArray("QUJD"
                                                                 "RA");
    QTest::newRow("line break") << QByteArray("QUJD\nREVG");
    QTest::newRow("padding in the middle") << QByteArray("QQ==QUJD");
    QTest::newRow("three padding characters") << QByteArray("Q===");
    QTest::newRow("URL alphabet") << QByteArray("ab-_");
    QTest::newRow("cipher padding bytes") << QByteArray("QUJD") + char(0x80) + QByteArray(3, '\0');
    QTest::newRow("high byte") << QByteArray("QUJ\xc3");
}

void TestBase64::refusesWhatIsNotWellFormed()
{
    QFETCH(QByteArray, text);
    QByteArray decoded("untouched");
    QVERIFY(!Base64::decodeStrict(text, &decoded));
    QCOMPARE(decoded, QByteArray("untouched"));
}

QTEST_APPLESS_MAIN(TestBase64)
#include "tst_base64.moc"
