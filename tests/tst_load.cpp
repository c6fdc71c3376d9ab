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
#include <memory>
#include <mutex>
#include <thread>

// The HTTP service with many connections open at once, from client threads of their own so
// that the service's event loop is the only thing that can fall behind, while some clients
// stall in the middle of their head. The rates are measured by bench/bench_api.
class TestLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyRequestAnsweredWhileStalledClientsAreClosed();

private:
    // The request and the exact answer the routes give for it, by request number.
    QByteArray request(int n) const;
    QByteArray expected(int n) const;
    static int apiPort(int n) { return 1 + n; }

    QTemporaryDir m_dir;
    ConfigStore m_store{m_dir.filePath("run/config.json")};
    HttpService *m_service = nullptr;
    QByteArray m_config;
};

void TestLoad::initTestCase()
{
    // Each request logs its head; hundreds of lines would bury a failure.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(QDir(m_dir.path()).mkdir("run"));

    // As many proxies as the pages offer local ports (60001-60020).
    QJsonObject root = QJsonDocument::fromJson(ProxyEntries::templateText()).object();
    for (int port = 60001; port <= 60020; ++port)
        ProxyEntries::appendEntry(root, port, QJsonObject{{"address", "gw"}, {"port", port}}, {});
    QVERIFY(m_store.store(root));
    m_config = m_store.readPlain();

    m_service = new HttpService(&m_store, this);
    QVERIFY(m_service->listen(QHostAddress::LocalHost, 0));
}

QByteArray TestLoad::request(int n) const
{
    switch (n % 3) {
    case 0:
        return "GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    case 1:
        return "GET /xray_config.json HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n"
               "User-Agent: Go-http-client/1.1\r\n\r\n";
    default:
        return "GET /api/get_ip?proxyType=2&contry=US&proxy=" + QByteArray::number(apiPort(n)) +
               "&gender=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    }
}

QByteArray TestLoad::expected(int n) const
{
    switch (n % 3) {
    case 0:
        return HttpRoutes::indexAnswer();
    case 1:
        return HttpRoutes::configAnswer(m_config);
    default:
        return HttpRoutes::portAnswer(apiPort(n));
    }
}

void TestLoad::everyRequestAnsweredWhileStalledClientsAreClosed()
{
    const int threadCount = 8, perThread = 25, stalled = 10; // 200 connections open at once
    const quint16 port = m_service->serverPort();
    // Single-shot timers without an object of their own belong to the event dispatcher.
    const int dispatcherChildren = QAbstractEventDispatcher::instance()->children().size();

    // Clients that send half a head: each must be closed with nothing answered. The short
    // limit holds for them only; the others wait for each other with their connections open.
    m_service->setHeaderTimeout(1000);
    std::vector<std::unique_ptr<QTcpSocket>> halfHeads;
    for (int i = 0; i < stalled; ++i) {
        halfHeads.push_back(std::make_unique<QTcpSocket>());
        halfHeads[i]->connectToHost(QHostAddress::LocalHost, port);
        halfHeads[i]->write("GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    }
    QTRY_COMPARE(m_service->findChildren<QTcpSocket *>().size(), stalled);
    m_service->setHeaderTimeout(30000);

    std::mutex mutex;
    QStringList failures;
    std::atomic<int> connected{0}, finished{0};
    std::atomic<bool> givenUp{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::unique_ptr<QTcpSocket>> sockets;
            for (int i = 0; i < perThread; ++i) {
                sockets.push_back(std::make_unique<QTcpSocket>());
                sockets.back()->connectToHost(QHostAddress::LocalHost, port);
                sockets.back()->waitForConnected(10000);
            }
            // Every connection is open before any request is sent.
            for (++connected; connected < threadCount && !givenUp;)
                std::this_thread::yield();
            for (int i = 0; i < perThread && !givenUp; ++i) {
                const int n = t * perThread + i;
                QTcpSocket &socket = *sockets[i];
                socket.write(request(n));
                QByteArray answer;
                while (socket.state() == QAbstractSocket::ConnectedState &&
                       socket.waitForReadyRead(10000))
                    answer += socket.readAll();
                answer += socket.readAll();
                if (answer != expected(n)) {
                    std::lock_guard<std::mutex> lock(mutex);
                    failures.append(QStringLiteral("request %1 answered %2 bytes: %3")
                                        .arg(n)
                                        .arg(answer.size())
                                        .arg(QString::fromLatin1(answer.left(80))));
                }
            }
            ++finished;
        });
    }
    const bool done = QTest::qWaitFor([&] { return finished == threadCount; }, 120000);
    givenUp = !done;
    for (auto &thread : threads)
        thread.join();
    QVERIFY2(done, "the clients did not finish");
    QVERIFY2(
        failures.isEmpty(),
        qPrintable(
            QStringLiteral("%1 failures, first: %2").arg(failures.size()).arg(failures.value(0))));

    for (const auto &socket : halfHeads) {
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(socket->readAll(), QByteArray());
    }

    // Nothing of a connection outlives it: neither its socket nor its header timer.
    QTRY_VERIFY(m_service->findChildren<QTcpSocket *>().isEmpty());
    QCOMPARE(QAbstractEventDispatcher::instance()->children().size(), dispatcherChildren);
}

QTEST_GUILESS_MAIN(TestLoad)
#include "tst_load.moc"
