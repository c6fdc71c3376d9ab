#include "support/fakewebserver.h"
#include "support/logcapture.h"
#include "util/updateversion.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray documentPath = "/public/version.txt";
const QStringList outcomeLabels = {
    "Error during version check: ", "Failed to parse JSON: ", "No new version available.",
    "New version available. Downloading..."};

QJsonObject release(const QString &version)
{
    return {{"versionNo", version}, {"exeUrl", "https://example.invalid/vexalo-setup.exe"}};
}

QByteArray document(const QString &version)
{
    return QJsonDocument(QJsonObject{{"code", "1"}, {"result", release(version)}}).toJson();
}

} // namespace

class TestUpdateVersion : public QObject
{
    Q_OBJECT

private slots:
    void judge_data();
    void judge();
    void check_data();
    void check();
    void overlappingChecksJudgedApart();
};

void TestUpdateVersion::judge_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QJsonObject>("result");

    QTest::newRow("same version, trailing newline")
        << document("1.0.0") + "\n"
        << int(UpdateVersion::Verdict::Current) << QJsonObject();
    QTest::newRow("newer version")
        << document("1.0.1") << int(UpdateVersion::Verdict::NewVersion) << release("1.0.1");
    QTest::newRow("older version")
        << document("0.9.0") << int(UpdateVersion::Verdict::NewVersion) << release("0.9.0");
    QTest::newRow("code as a number") << QByteArray(R"({"code":1,"result":{"versionNo":"2.0.0"}})")
                                      << int(UpdateVersion::Verdict::Ignored) << QJsonObject();
    QTest::newRow("no result") << QByteArray(R"({"code":"1"})")
                               << int(UpdateVersion::Verdict::NewVersion) << QJsonObject();
    QTest::newRow("html page") << QByteArray("<html><body>Bad Gateway</body></html>")
                               << int(UpdateVersion::Verdict::ParseFailed) << QJsonObject();
}

void TestUpdateVersion::judge()
{
    QFETCH(QByteArray, body);
    QFETCH(int, outcome);
    QFETCH(QJsonObject, result);

    const UpdateVersion::Verdict verdict = UpdateVersion::judge(body);
    QCOMPARE(int(verdict.outcome), outcome);
    QCOMPARE(verdict.result, result);
    QCOMPARE(verdict.parseError.isEmpty(), outcome != UpdateVersion::Verdict::ParseFailed);
}

void TestUpdateVersion::check_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("trickleMs");

    QTest::newRow("server error") << 500 << document("1.0.1")
                                  << "Error during version check: " << 0;
    // Bytes keep coming, but the whole answer takes longer than the deadline.
    QTest::newRow("trickling past the deadline")
        << 200 << document("1.0.1") << "Error during version check:  \"no complete answer within"
        << 50;
    QJsonObject padded{{"code", "1"}, {"result", release("1.0.1")}};
    padded.insert("padding", QString(64 * 1024, 'x'));
    QTest::newRow("over 64 KiB")
        << 200 << QJsonDocument(padded).toJson()
        << "Error during version check:  \"answer larger than 65536 bytes\"" << 0;
}

void TestUpdateVersion::check()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, logged);
    QFETCH(int, trickleMs);

    FakeWebServer server;
    server.setResponse(documentPath, {status, "application/json", body, false, false, trickleMs});
    UpdateVersion version;
    version.setWebsiteUrl(server.url());
    version.setDeadline(1000);
    QSignalSpy spy(&version, &UpdateVersion::sigVersionUpdate);
    LogCapture log;

    version.checkVersion();
    QTRY_COMPARE(log.count(logged), 1);
    int outcomes = 0;
    for (const QString &label : outcomeLabels)
        outcomes += log.count(label);
    QCOMPARE(outcomes, 1);

    QCOMPARE(spy.count(), 0);
    QTRY_VERIFY(version.findChildren<QNetworkReply *>().isEmpty());
}

void TestUpdateVersion::overlappingChecksJudgedApart()
{
    FakeWebServer first;
    FakeWebServer second;
    first.setResponse(documentPath, {200, "application/json", document("1.0.1"), false, false, 0});
    second.setResponse(documentPath, {200, "application/json", document("2.0.0"), false, false, 0});
    UpdateVersion version;
    QSignalSpy spy(&version, &UpdateVersion::sigVersionUpdate);
    LogCapture log;

    // Both requests are out before the event loop can deliver either reply.
    version.setWebsiteUrl(first.url());
    version.checkVersion();
    version.setWebsiteUrl(second.url());
    version.checkVersion();

    QTRY_COMPARE(spy.count(), 2);
    QSet<QString> announced;
    for (const QList<QVariant> &arguments : spy)
        announced.insert(arguments.at(0).value<QJsonObject>().value("versionNo").toString());
    QCOMPARE(announced, (QSet<QString>{"1.0.1", "2.0.0"}));
    QCOMPARE(log.count("New version available. Downloading..."), 2);
    QCOMPARE(first.requests().at(0).target, documentPath);
}

QTEST_GUILESS_MAIN(TestUpdateVersion)
#include "tst_updateversion.moc"
