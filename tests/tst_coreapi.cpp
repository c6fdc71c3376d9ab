#include "core/coreapi.h"
#include "core/proxyentries.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QUrl>
#include <QtTest>

// The core's API from the client's end: the bytes and the document it makes, and how it
// reads the core's answer. The real core giving up ports is in the handlers' test.
class TestCoreApi : public QObject
{
    Q_OBJECT

private slots:
    void removeInboundFrame_data();
    void removeInboundFrame();
    void withApiKeepsTheDocument();
    void apiPortOf_data();
    void apiPortOf();
    void answerReadInAnyPieces();

    void doneOnceFromTheEventLoop();
};

void TestCoreApi::removeInboundFrame_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("short tag") << "socks_1080" << QByteArray("000000000c0a0a736f636b735f31303830");
    // The heads by hand: the frame's, then the field's with the tag's length; the tag follows.
    const auto row = [](const char *name, const QString &tag, const QByteArray &heads) {
        QTest::newRow(name) << tag << heads + tag.toUtf8().toHex();
    };
    row("length in bytes, not characters", QString::fromUtf8("p\xc3\xa4"), "00000000050a03");
    row("127 bytes, the longest one-byte varint", QString(127, 'a'), "00000000810a7f");
    row("128 bytes, a two-byte varint", QString(128, 'a'), "00000000830a8001");
    row("300 bytes, a message over 255 bytes", QString(300, 'a'), "000000012f0aac02");
}

void TestCoreApi::removeInboundFrame()
{
    QFETCH(QString, tag);
    QFETCH(QByteArray, hex);
    QCOMPARE(CoreApi::grpcFrame(CoreApi::removeInboundMessage(tag)).toHex(), hex);
}

void TestCoreApi::withApiKeepsTheDocument()
{
    const QJsonObject apiInbound{{"tag", "api"},
                                 {"listen", "127.0.0.1"},
                                 {"port", 17001},
                                 {"protocol", "dokodemo-door"},
                                 {"settings", QJsonObject{{"address", "127.0.0.1"}}}};
    const QJsonObject apiRule{
        {"type", "field"}, {"inboundTag", QJsonArray{"api"}}, {"outboundTag", "api"}};

    QJsonObject root = QJsonDocument::fromJson(ProxyEntries::templateText()).object();
    for (int port : {60001, 60002})
        ProxyEntries::appendEntry(root, port, QJsonObject{{"address", "gw"}, {"port", 1}}, {});
    const QJsonObject stored = root;
    const QJsonObject served = CoreApi::withApi(root, 17001);
    QCOMPARE(root, stored);

    QJsonObject expected = root;
    expected.insert("api", QJsonObject{{"tag", "api"}, {"services", QJsonArray{"HandlerService"}}});
    QJsonArray inbounds = root.value("inbounds").toArray();
    inbounds.append(apiInbound);
    expected.insert("inbounds", inbounds);
    QJsonObject routing = root.value("routing").toObject();
    QJsonArray rules = routing.value("rules").toArray();
    rules.prepend(apiRule);
    routing.insert("rules", rules);
    expected.insert("routing", routing);
    QCOMPARE(served, expected);
    QCOMPARE(CoreApi::withApi(served, 17001), served); // one API, however often added

    // Whatever already holds the API's port or tag gives way to the API.
    QJsonObject crowded = root;
    QJsonArray crowdedInbounds = root.value("inbounds").toArray();
    crowdedInbounds.insert(1, QJsonObject{{"tag", "api"}, {"port", 5555}});
    crowdedInbounds.append(QJsonObject{{"tag", "socks_17001"}, {"port", "17001"}});
    crowded.insert("inbounds", crowdedInbounds);
    QCOMPARE(CoreApi::withApi(crowded, 17001).value("inbounds"), QJsonValue(inbounds));

    QCOMPARE(CoreApi::withApi(QJsonObject(), 17001).value("routing"),
             QJsonValue(QJsonObject{{"rules", QJsonArray{apiRule}}}));
}

void TestCoreApi::apiPortOf_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("port");
    const auto row = [](const char *target, int port) {
        QTest::newRow(target) << QByteArray(target) << port;
    };
    row("/xray_config.json?api=17001", 17001);
    row("/xray_config.json?x=1&api=65535&y=2", 65535);
    row("/xray_config.json", 0);
    row("/xray_config.json?api=", 0);
    row("/xray_config.json?api=0", 0);
    row("/xray_config.json?api=4294983297", 0); // 2^32 + 17001
    row("/xray_config.json?api=+17001", 0);
    row("/xray_config.json?api=17001x", 0);
    row("/xray_config.json?api=17001&api=17002", 0);
}

void TestCoreApi::apiPortOf()
{
    QFETCH(QByteArray, target);
    QFETCH(int, port);
    QCOMPARE(int(CoreApi::apiPortOf(target)), port);

    // What the core asks for at the address it is given.
    const QUrl url(CoreApi::configUrl(quint16(port)));
    QCOMPARE(int(CoreApi::apiPortOf(url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority))),
             port);
}

namespace {

QByteArray h2Frame(quint8 type, quint8 flags, quint32 stream, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(char(payload.size() >> 16)).append(char(payload.size() >> 8));
    bytes.append(char(payload.size())).append(char(type)).append(char(flags));
    bytes.append(char(stream >> 24)).append(char(stream >> 16)).append(char(stream >> 8));
    return bytes.append(char(stream)).append(payload);
}

} // namespace

// The core's answer as it comes over a socket, in pieces cut anywhere: a call that carried
// its response message succeeded, one answered with headers alone (gRPC's failure) did not,
// the core's settings are acknowledged, and a reset fails the whole.
void TestCoreApi::answerReadInAnyPieces()
{
    const QByteArray status200("\x88", 1);
    const QByteArray answer =
        h2Frame(0x4, 0, 0, QByteArray("\x00\x03\x00\x00\x00\x64", 6)) // settings
        + h2Frame(0x1, 0x4, 1, status200)                             // headers
        + h2Frame(0x0, 0, 1, QByteArray(5, '\0'))                     // empty message
        + h2Frame(0x1, 0x5, 1, "trailers")                            // trailers, end
        + h2Frame(0x1, 0x5, 3, status200 + "grpc-status 2")           // headers only
        + h2Frame(0x1, 0x5, 5, QByteArray("\x89", 1));                // status 204
    for (int cut = 0; cut <= answer.size(); ++cut) {
        CoreApi::ResponseReader reader;
        reader.feed(answer.left(cut));
        QCOMPARE(reader.feed(answer.mid(cut)), 3);
        QCOMPARE(reader.takeReply(), h2Frame(0x4, 0x1, 0, {}));
        QVERIFY(reader.error().isEmpty());
        QVERIFY(reader.succeeded(1));
        QVERIFY(!reader.succeeded(3));
        QVERIFY(!reader.succeeded(5));
    }
    CoreApi::ResponseReader reset;
    reset.feed(h2Frame(0x1, 0x4, 1, status200) + h2Frame(0x3, 0, 1, QByteArray(4, '\0')));
    QVERIFY(!reset.error().isEmpty());
}

void TestCoreApi::doneOnceFromTheEventLoop()
{
    CoreApiClient client;
    QList<bool> results;
    const auto record = [&results](bool ok) {
        results.append(ok);
    };

    client.removeInbounds(1, {}, 1000, record);
    QVERIFY(results.isEmpty());
    QTRY_COMPARE(results, QList<bool>{true});

    quint16 closed = 0;
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        closed = server.serverPort();
    }
    client.removeInbounds(closed, {"socks_1"}, 10000, record);
    QCOMPARE(results.size(), 1);
    QTRY_COMPARE(results.size(), 2);

    // Takes the connection and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    client.removeInbounds(silent.serverPort(), {"socks_1", "socks_2"}, 300, record);
    QTRY_COMPARE(results.size(), 3);

    // A client gone before its deadline never reports. The second call, with the same
    // deadline started later, reports after the first would have.
    auto *gone = new CoreApiClient;
    QList<bool> goneResults;
    gone->removeInbounds(silent.serverPort(), {"socks_1"}, 300,
                         [&goneResults](bool ok) { goneResults.append(ok); });
    client.removeInbounds(silent.serverPort(), {"socks_1"}, 300, record);
    delete gone;
    QTRY_COMPARE(results.size(), 4);
    QVERIFY(goneResults.isEmpty());
    QCOMPARE(results, (QList<bool>{true, false, false, false}));
}

QTEST_GUILESS_MAIN(TestCoreApi)
#include "tst_coreapi.moc"
