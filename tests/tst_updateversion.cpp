#include "support/fakewebserver.h"
#include "support/logcapture.h"
#include "util/updateversion.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray documentPath = "/public/version.txt";
using Verdict = UpdateVersion::Verdict;

QJsonObject release(const QString &version)
{
    return {{"versionNo", version}, {"exeUrl", "https://example.invalid/vexalo-setup.exe"}};
}

QByteArray document(const QString &version)
{
    return QJsonDocument(QJsonObject{{"code", "1"}, {"result", release(version)}}).toJson();
}

FakeWebServer::Response answer(const QByteArray &body, int status = 200, int trickleMs = 0)
{
    return {status, "application/json", body, false, false, trickleMs};
}

} // namespace

class TestUpdateVersion : public QObject
{
    Q_OBJECT

private slots:
    void judge_data();
    void judge();
    void failedChecksAnnounceNothing();
    void overlappingChecksJudgedApart();
};

void TestUpdateVersion::judge_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QJsonObject>("result");

    QTest::newRow("same version, trailing newline") << document("1.0.0") + "\n"
                                                    << int(Verdict::Current) << QJsonObject();
    QTest::newRow("newer version")
        << document("1.0.1") << int(Verdict::NewVersion) << release("1.0.1");
    QTest::newRow("older version")
        << document("0.9.0") << int(Verdict::NewVersion) << release("0.9.0");
    QTest::newRow("code as a number") << QByteArray(R"({"code":1,"result":{"versionNo":"2.0.0"}})")
                                      << int(Verdict::Ignored) << QJsonObject();
    QTest::newRow("no result") << QByteArray(R"({"code":"1"})") << int(Verdict::NewVersion)
                               << QJsonObject();
    QTest::newRow("html page") << QByteArray("<html><body>Bad Gateway</body></html>")
                               << int(Verdict::ParseFailed) << QJsonObject();
}

void TestUpdateVersion::judge()
{
    QFETCH(QByteArray, body);
    QFETCH(int, outcome);
    const Verdict verdict = UpdateVersion::judge(body);
    QCOMPARE(int(verdict.outcome), outcome);
    QTEST(verdict.result, "result");
    QCOMPARE(verdict.parseError.isEmpty(), outcome != Verdict::ParseFailed);
}

// A server error, an answer that trickles past the deadline and one over 64 KiB: an error
// each, no announcement, and no reply kept.
void TestUpdateVersion::failedChecksAnnounceNothing()
{
    const QPair<FakeWebServer::Response, QString> cases[] = {
        {answer(document("1.0.1"), 500), "Error during version check: "},
        {answer(document("1.0.1"), 200, 50),
         "Error during version check:  \"no complete answer within"},
        {answer(document("1.0.1") + QByteArray(64 * 1024, ' ')),
         "Error during version check:  \"answer larger than 65536 bytes\""},
    };
    for (const auto &[response, logged] : cases) {
        FakeWebServer server;
        server.setResponse(documentPath, response);
        UpdateVersion version;
        version.setWebsiteUrl(server.url());
        version.setDeadline(1000);
        QSignalSpy spy(&version, &UpdateVersion::sigVersionUpdate);
        LogCapture log;
        version.checkVersion();
        QTRY_COMPARE(log.count(logged), 1);
        QTRY_VERIFY(version.findChildren<QNetworkReply *>().isEmpty());
        QCOMPARE(spy.count(), 0);
    }
}

void TestUpdateVersion::overlappingChecksJudgedApart()
{
    FakeWebServer first;
    FakeWebServer second;
    first.setResponse(documentPath, answer(document("1.0.1")));
    second.setResponse(documentPath, answer(document("2.0.0")));
    UpdateVersion version;
    QSignalSpy spy(&version, &UpdateVersion::sigVersionUpdate);
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
    QCOMPARE(first.requests().at(0).target, documentPath);
}

QTEST_GUILESS_MAIN(TestUpdateVersion)
#include "tst_updateversion.moc"
