#include "core/configstore.h"
#include "core/proxyentries.h"
#include "http/httproutes.h"
#include "http/httpservice.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

// The HTTP service with many connections open at once, from client threads of their own so
// that the service's event loop is the only thing that can fall behind, while some clients
// stall in the middle of their head. The rates are measured by bench/bench_api.
class TestLoad : public QObject
{
    Q_OBJECT

private slots:
    void everyRequestAnsweredWhileStalledClientsAreClosed();
};

void TestLoad::everyRequestAnsweredWhileStalledClientsAreClosed()
{
    // Each request logs its head; hundreds of lines would bury a failure.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("run"));
    // As many proxies as the pages offer local ports (60001-60020): a large answer.
    ConfigStore store(dir.filePath("run/config.json"));
    QJsonObject root = QJsonDocument::fromJson(ProxyEntries::templateText()).object();
    for (int port = 60001; port <= 60020; ++port)
        ProxyEntries::appendEntry(root, port, QJsonObject{{"address", "gw"}, {"port", port}}, {});
    QVERIFY(store.store(root));
    const QByteArray config = HttpRoutes::configAnswer(store.readPlain());
    HttpService service(&store);
    QVERIFY(service.listen(QHostAddress::LocalHost, 0));
    // The configuration and the local API in turn, each with its exact answer.
    const auto request = [](int n) -> QByteArray {
        if (n % 2)
            return "GET /xray_config.json HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n\r\n";
        return "GET /api/get_ip?proxyType=2&contry=US&proxy=" + QByteArray::number(1 + n) +
               "&gender=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    };
    const auto expected = [&](int n) {
        return n % 2 ? config : HttpRoutes::portAnswer(1 + n);
    };

    const int threadCount = 8, perThread = 25, stalled = 10; // 200 connections open at once
    // Single-shot timers without an object of their own belong to the event dispatcher.
    const int dispatcherChildren = QAbstractEventDispatcher::instance()->children().size();

    // Clients that send half a head: each must be closed with nothing answered. The short
    // limit holds for them only; the others wait for each other with their connections open.
    service.setHeaderTimeout(1000);
    QTcpSocket halfHeads[stalled];
    for (QTcpSocket &socket : halfHeads) {
        socket.connectToHost(QHostAddress::LocalHost, service.serverPort());
        socket.write("GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    }
    QTRY_COMPARE(service.findChildren<QTcpSocket *>().size(), stalled);
    service.setHeaderTimeout(30000);

    std::mutex mutex;
    QStringList failures;
    std::atomic<int> connected{0}, finished{0};
    std::atomic<bool> givenUp{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            QTcpSocket sockets[perThread];
            for (QTcpSocket &socket : sockets) {
                socket.connectToHost(QHostAddress::LocalHost, service.serverPort());
                socket.waitForConnected(10000);
            }
            // Every connection is open before any request is sent.
            for (++connected; connected < threadCount && !givenUp;)
                std::this_thread::yield();
            for (int i = 0; i < perThread && !givenUp; ++i) {
                const int n = t * perThread + i;
                QTcpSocket &socket = sockets[i];
                socket.write(request(n));
                QByteArray answer;
                while (socket.state() == QAbstractSocket::ConnectedState &&
                       socket.waitForReadyRead(10000))
                    answer += socket.readAll();
                answer += socket.readAll();
                std::lock_guard<std::mutex> lock(mutex);
                if (answer != expected(n))
                    failures << QString("request %1: %2").arg(n).arg(QString(answer.left(80)));
            }
            ++finished;
        });
    }
    const bool done = QTest::qWaitFor([&] { return finished == threadCount; }, 120000);
    givenUp = !done;
    for (auto &thread : threads)
        thread.join();
    QVERIFY2(done, "the clients did not finish");
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));

    for (QTcpSocket &socket : halfHeads) {
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(socket.readAll(), QByteArray());
    }
    // Nothing of a connection outlives it: neither its socket nor its header timer.
    QTRY_VERIFY(service.findChildren<QTcpSocket *>().isEmpty());
    QCOMPARE(QAbstractEventDispatcher::instance()->children().size(), dispatcherChildren);
}

QTEST_GUILESS_MAIN(TestLoad)
#include "tst_load.moc"
