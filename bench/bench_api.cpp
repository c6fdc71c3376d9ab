// Answers per second of the local API (/api/get_ip) with 20 clients holding half-sent
// request heads open, against the same load without them. The service runs on this
// program's main thread, as in the client; the requesting clients block in threads of their
// own. Rounds with and without the stalled clients take turns. Run by hand:
//   build/bench/bench_api [pairs of rounds]
#include "http/httproutes.h"
#include "http/httpservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int requestsPerRound = 1000;
const int clientThreads = 4;
const int stalledClients = 20;
// The ports asked for lie below the system's ephemeral range: a port that one of the
// benchmark's own connections happens to use is rightly refused as held by another program.
const int firstProxyPort = 30001;

// One request on a fresh connection; true when the exact answer came back.
bool apiRequest(quint16 servicePort, int proxyPort)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, servicePort);
    if (!socket.waitForConnected(5000))
        return false;
    socket.write("GET /api/get_ip?proxyType=2&contry=US&proxy=" + QByteArray::number(proxyPort) +
                 "&gender=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        answer += socket.readAll();
    answer += socket.readAll();
    return answer == HttpRoutes::portAnswer(quint16(proxyPort));
}

// Runs until the predicate holds, serving the service's connections meanwhile.
void serveUntil(const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    check.start(1);
    loop.exec();
}

// Answers per second for one round; failures counts the wrong or missing answers and the
// stalled clients that the service did not leave waiting.
double measureRound(HttpService &service, bool withStalled, int *failures)
{
    const quint16 port = service.serverPort();
    // The last round's connections, so that only this round's are counted below.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // The stalled clients are plain sockets that run no code while the clock runs: a client
    // thread of their own, waking to check for the end of the round, would cost the round
    // itself some time.
    std::vector<int> stalled;
    for (int i = 0; withStalled && i < stalledClients; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char half[] = "GET /api/get_ip?proxy=30001 HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::send(fd, half, sizeof half - 1, 0) != ssize_t(sizeof half - 1))
            ++*failures;
        stalled.push_back(fd);
    }
    // All of them accepted and holding a connection before the clock starts.
    serveUntil([&] { return service.findChildren<QTcpSocket *>().size() >= int(stalled.size()); });

    std::atomic<int> finished{0}, wrong{0};
    std::vector<std::thread> clients;
    QElapsedTimer timer;
    timer.start();
    for (int t = 0; t < clientThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = t; i < requestsPerRound; i += clientThreads) {
                if (!apiRequest(port, firstProxyPort + i % 20))
                    ++wrong;
            }
            ++finished;
        });
    }
    serveUntil([&] { return finished == clientThreads; });
    const double seconds = timer.nsecsElapsed() / 1e9;
    for (auto &client : clients)
        client.join();

    for (const int fd : stalled) {
        // Still open, with nothing answered: the service neither closed nor answered them.
        char byte;
        if (::recv(fd, &byte, 1, MSG_DONTWAIT) != -1 || errno != EAGAIN)
            ++*failures;
        ::close(fd);
    }
    *failures += wrong;
    return requestsPerRound / seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    // Each request logs its head and query; the terminal would be the thing measured.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QTextStream out(stdout);

    QTemporaryDir runtime;
    QDir(runtime.path()).mkdir("run");
    QDir::setCurrent(runtime.path());
    const ConfigStore store(runtime.filePath("run/config.json"));
    HttpService service(&store);
    service.setLocalApiState(HttpService::LocalApiState::Open); // as with a signed-in page
    if (!service.listen(QHostAddress::LocalHost, 0)) {
        out << "cannot listen: " << service.errorString() << "\n";
        return 1;
    }

    {
        // The first connection registers Qt's socket types; client threads racing to do that
        // log a harmless warning.
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, service.serverPort());
        first.abort();
    }
    int failures = 0;
    measureRound(service, false, &failures); // warm-up, not counted
    std::vector<double> with, without, ratios;
    for (int i = 0; i < rounds; ++i) {
        // Alternate which goes first, so that neither always follows the other.
        const bool stalledFirst = i % 2 == 1;
        (stalledFirst ? with : without).push_back(measureRound(service, stalledFirst, &failures));
        (stalledFirst ? without : with).push_back(measureRound(service, !stalledFirst, &failures));
        // The ratio of each pair, measured within a second of each other, follows the
        // machine's changing load better than the ratio of the medians.
        ratios.push_back(with.back() / without.back());
    }
    if (failures > 0) {
        out << failures << " requests were not answered exactly, or stalled clients closed early\n";
        return 1;
    }
    out << "/api/get_ip answers per second (median of " << rounds << " pairs of rounds of "
        << requestsPerRound << " requests from " << clientThreads << " client threads):\n"
        << QString("  with %1 stalled clients: %2 /s\n")
               .arg(stalledClients)
               .arg(median(with), 0, 'f', 0)
        << QString("  without: %1 /s\n").arg(median(without), 0, 'f', 0)
        << QString("  ratio (median of the pairs): %1 (target at least 0.9)\n")
               .arg(median(ratios), 0, 'f', 2);
    return 0;
}
