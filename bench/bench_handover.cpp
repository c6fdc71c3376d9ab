// What a change of the proxies costs the programs that use the other ports, as they feel it:
// whether connections held open through one port survive the changes around it (a start
// beside it, a rewrite of that very port, a removal, a burst of starts asked together), how
// many cores such a burst makes, how long new connections to a port are refused while
// another port is started, and the memory of the client with its cores while three of them
// drain. The core fetches its configuration from the HTTP service, which answers from a
// thread of its own as in the client; the gateway and the echo server the connections reach
// run on another, as they would in other processes. Needs port 9584 free. Run by hand:
//   build/bench/bench_handover [repetitions]
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "residentialgateway.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int heldConnections = 5;
const int burstStarts = 10;
const int drainingForMemory = 3;
const int answerWaitMs = 20000;
const int echoWaitMs = 3000;
// A port may come back a little after the change that closed it was answered: the start's
// answer waits only for the started ports.
const int afterAnswerMs = 200;
// The draining cores look at their connections once a second.
const int drainPollMs = 1000;

// Log lines counted or passed on: the cores' starts and ends, and why a change went wrong.
const char *const shownLines[] = {
    "Starting the core",  "Retired core ended",  "Core API",         "V2Ray exited by itself",
    "V2Ray did not open", "Proxy entry refused", "Core not started", "Failed to start the core",
};
std::atomic<int> coreStarts{0};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double msSince(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Ports below the system's ephemeral range, so that none is one a connection of this process
// (the prober makes thousands) happens to use.
quint16 nextPort()
{
    static quint16 port = 31000;
    for (;;) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, ++port))
            return port;
    }
}

// Sends back whatever it receives.
class EchoServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::readyRead, socket,
                [socket] { socket->write(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
};

// The gateway and the echo server, on their own thread.
class Relays : public QObject
{
public:
    ResidentialGateway *gateway = nullptr;
    EchoServer *echo = nullptr;

    void setUp()
    {
        gateway = new ResidentialGateway(this);
        gateway->addAccount("vx_demo", "k3yS3cret");
        gateway->listenHttp(QHostAddress::LocalHost);
        echo = new EchoServer;
        echo->setParent(this);
        echo->listen(QHostAddress::LocalHost, 0);
    }

    // The exit country the gateway was last asked for.
    QString lastCountry()
    {
        QString country;
        QMetaObject::invokeMethod(
            this,
            [&] {
                const QList<GatewayConnection> seen = gateway->connections();
                country = seen.isEmpty() ? QString() : seen.last().country;
            },
            Qt::BlockingQueuedConnection);
        return country;
    }
};

// A program's connection through a SOCKS5 port to the echo server, kept open. Plain calls
// with deadlines, so that checking it needs no event loop; close-on-exec, so that the core
// processes this process forks do not carry it too.
class HeldConnection
{
public:
    HeldConnection() = default;
    HeldConnection(const HeldConnection &) = delete;
    HeldConnection &operator=(const HeldConnection &) = delete;
    ~HeldConnection() { close(); }

    bool open(quint16 socksPort, quint16 target)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(socksPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return false;
        // No authentication, then CONNECT to 127.0.0.1:target.
        if (!sendAll(QByteArray("\x05\x01\x00", 3)) || receive(2) != QByteArray("\x05\x00", 2))
            return false;
        QByteArray request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
        request.append(char(target >> 8)).append(char(target & 0xff));
        const QByteArray reply = sendAll(request) ? receive(10) : QByteArray();
        return reply.size() == 10 && reply.at(1) == 0;
    }

    bool echoes(const QByteArray &text) { return sendAll(text) && receive(text.size()) == text; }

    bool isOpen() const { return fd >= 0; }

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    bool sendAll(const QByteArray &bytes)
    {
        return fd >= 0 && ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) ==
                              ssize_t(bytes.size());
    }

    QByteArray receive(int size)
    {
        QByteArray bytes;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(echoWaitMs);
        while (bytes.size() < size) {
            const int left = int(msSince(Clock::now(), deadline));
            pollfd readable{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&readable, 1, left) <= 0)
                break;
            char buffer[512];
            const ssize_t got =
                ::recv(fd, buffer, size_t(std::min<int>(sizeof buffer, size - bytes.size())), 0);
            if (got <= 0)
                break; // closed or reset: the connection was dropped
            bytes.append(buffer, int(got));
        }
        return bytes;
    }

    int fd = -1;
};

// Connects to a port again and again from a thread of its own, each connection closed at
// once, and keeps the longest stretch in which every attempt failed.
class RefusalProbe
{
public:
    explicit RefusalProbe(quint16 port)
        : port(port)
        , thread([this] { run(); })
    {}
    ~RefusalProbe() { finish(); }

    void finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }

    double longestMs = 0;
    Clock::time_point lastRefused; // of the last refused attempt, or the epoch
    bool refusedAtEnd = false;
    int attempts = 0;
    int otherErrors = 0;

private:
    void run()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A reset instead of the usual close: thousands of connections in TIME_WAIT would
        // use up the local ports.
        const linger reset{1, 0};
        bool refusing = false;
        Clock::time_point since;
        while (!stop) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            const Clock::time_point at = Clock::now();
            const bool accepted =
                ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
            const int error = errno;
            ::close(fd);
            ++attempts;
            if (accepted) {
                if (refusing)
                    longestMs = std::max(longestMs, msSince(since, at));
                refusing = false;
                continue;
            }
            // A connection the closing port had queued but not taken is reset: refused too.
            if (error != ECONNREFUSED)
                ++otherErrors;
            if (!refusing)
                since = at;
            refusing = true;
            lastRefused = at;
        }
        refusedAtEnd = refusing;
        if (refusing)
            longestMs = std::max(longestMs, msSince(since, Clock::now()));
    }

    const quint16 port;
    std::atomic<bool> stop{false};
    std::thread thread;
};

// PSS in KiB of one process, 0 when it is gone.
qint64 pssKiB(qint64 pid)
{
    QFile file(QString("/proc/%1/smaps_rollup").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// This process and all its descendants, with their names.
QHash<qint64, QString> family()
{
    QHash<qint64, qint64> parents;
    QHash<qint64, QString> names;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        QFile stat(QString("/proc/%1/stat").arg(entry));
        if (!number || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...", where the name may hold spaces and parentheses.
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        parents.insert(pid, text.mid(close + 2).split(' ').value(1).toLongLong());
        names.insert(
            pid, QString::fromUtf8(text.mid(text.indexOf('(') + 1, close - text.indexOf('(') - 1)));
    }
    QHash<qint64, QString> members{{QCoreApplication::applicationPid(), "bench"}};
    for (bool grew = true; grew;) {
        grew = false;
        for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
            if (members.contains(it.value()) && !members.contains(it.key())) {
                members.insert(it.key(), names.value(it.key()));
                grew = true;
            }
        }
    }
    return members;
}

double familyPssMiB(const char *when)
{
    qint64 total = 0;
    const QHash<qint64, QString> members = family();
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        const qint64 pss = pssKiB(it.key());
        fprintf(stderr, "memory %s: %s %lld: %lld KiB\n", when, qPrintable(it.value()), it.key(),
                pss);
        total += pss;
    }
    return total / 1024.0;
}

// The event loop runs throughout, as in the client. QTest's waits would not do: between two
// rounds of events they sleep 10 ms, which would hold up every step of a change measured.
void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    look.start(10);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}

void waitUntilDrained(const V2RayManager &manager)
{
    if (!waitUntil([&] { return manager.drainingProcessIds().isEmpty(); }, drainPollMs * 5))
        fprintf(stderr, "cores still draining: %d\n", int(manager.drainingProcessIds().size()));
}

class Bench
{
public:
    Bench(V2RayManager &manager, Relays &relays)
        : manager(manager)
        , relays(relays)
    {}

    QJsonObject request(quint16 port, const QString &country = "US") const
    {
        return QJsonObject{{"ip", "127.0.0.1"},      {"port", relays.gateway->httpPort()},
                           {"username", "vx_demo"},  {"password", "k3yS3cret"},
                           {"proxyType", "HTTP"},    {"local_port", port},
                           {"counrtyList", country}, {"gender", true}};
    }

    // Asks for the changes in one turn of the event loop, as parallel calls of the local API
    // arrive, and waits for every answer; how many were answered ok.
    int make(const QList<QJsonObject> &starts, const QList<quint16> &removals = {})
    {
        // Shared with the answers, which may come after a wait that gave up.
        struct Tally
        {
            int asked = 0;
            int answered = 0;
            int ok = 0;
            QPointer<QEventLoop> waiting;
        };
        const auto tally = std::make_shared<Tally>();
        tally->asked = starts.size() + removals.size();
        const auto done = [tally](const V2RayManager::Outcome &outcome) {
            ++tally->answered;
            tally->ok += outcome.ok ? 1 : 0;
            if (!outcome.ok)
                fprintf(stderr, "change of port %d failed: %s\n", outcome.port,
                        qPrintable(outcome.reason));
            if (tally->answered == tally->asked && tally->waiting)
                tally->waiting->quit();
        };
        for (const QJsonObject &start : starts)
            manager.requestStart(start, done);
        for (quint16 port : removals)
            manager.requestRemoval(port, done);
        if (tally->answered < tally->asked) {
            QEventLoop loop;
            tally->waiting = &loop;
            QTimer::singleShot(answerWaitMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (tally->answered < tally->asked)
            fprintf(stderr, "%d of %d changes unanswered\n", tally->asked - tally->answered,
                    tally->asked);
        return tally->ok;
    }
    bool start(quint16 port, const QString &country = "US")
    {
        return make({request(port, country)}) == 1;
    }
    bool remove(quint16 port) { return make({}, {port}) == 1; }

    V2RayManager &manager;
    Relays &relays;
};

// Half a second with the event loop running, as between two clicks of the user: the next
// core's process is prepared meanwhile, as it would be for the user.
void betweenClicks()
{
    settle(500);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(3, atoi(argv[1])) : 10;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        const bool shown = std::any_of(std::begin(shownLines), std::end(shownLines),
                                       [&](const char *line) { return msg.startsWith(line); });
        if (msg.startsWith("Starting the core"))
            ++coreStarts;
        if (type != QtDebugMsg || shown)
            fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QTextStream out(stdout);

    const QString core = QStandardPaths::findExecutable("v2ray");
    QTemporaryDir runtime;
    QDir(runtime.path()).mkdir("run");
    if (core.isEmpty() || !QFile::link(core, runtime.filePath("run/corvane"))) {
        out << "v2ray not found\n";
        return 1;
    }
    QDir::setCurrent(runtime.path());

    V2RayManager manager;
    QThread serviceThread, relayThread;
    auto *service = new HttpService(manager.configStore());
    service->moveToThread(&serviceThread);
    QObject::connect(&serviceThread, &QThread::finished, service, &QObject::deleteLater);
    Relays relays;
    relays.moveToThread(&relayThread);
    serviceThread.start();
    relayThread.start();
    const auto finish = qScopeGuard([&] {
        manager.shutDown();
        for (QThread *thread : {&serviceThread, &relayThread}) {
            thread->quit();
            thread->wait();
        }
    });
    QMetaObject::invokeMethod(
        &relays, [&] { relays.setUp(); }, Qt::BlockingQueuedConnection);
    if (!service->listenOnServicePort()) {
        out << "port 9584 is taken\n";
        return 1;
    }
    manager.resetConfig();
    manager.prepareNextCore();
    Bench bench(manager, relays);
    const quint16 echoPort = relays.echo->serverPort();

    // The port the programs use throughout, and its connections.
    const quint16 portA = nextPort();
    if (!bench.start(portA)) {
        out << "the first port did not open\n";
        return 1;
    }
    std::vector<std::unique_ptr<HeldConnection>> held;
    for (int i = 0; i < heldConnections; ++i) {
        held.push_back(std::make_unique<HeldConnection>());
        if (!held.back()->open(portA, echoPort) || !held.back()->echoes("hello")) {
            out << "a connection through the first port did not echo\n";
            return 1;
        }
    }

    // Each change, then every connection still open must still echo.
    int dropped = 0, failedChanges = 0, step = 0;
    const auto check = [&](const char *after) {
        int droppedNow = 0;
        for (size_t i = 0; i < held.size(); ++i) {
            if (!held[i]->isOpen())
                continue;
            if (!held[i]->echoes(QString("step %1, connection %2").arg(step).arg(i).toUtf8())) {
                held[i]->close();
                ++droppedNow;
            }
        }
        ++step;
        dropped += droppedNow;
        fprintf(stderr, "after %s: %d held connections dropped, %d cores draining\n", after,
                droppedNow, int(manager.drainingProcessIds().size()));
        return droppedNow;
    };
    const quint16 portB = nextPort();
    betweenClicks();
    failedChanges += bench.start(portB) ? 0 : 1;
    const int droppedByStart = check("a start of another port");
    betweenClicks();
    failedChanges += bench.start(portA, "DE") ? 0 : 1;
    const int droppedByRewrite = check("a rewrite of their port");
    // The rewritten port's new connections leave through the other country.
    HeldConnection fresh;
    const bool rewritten =
        fresh.open(portA, echoPort) && fresh.echoes("rewritten") && relays.lastCountry() == "DE";
    fresh.close();
    betweenClicks();
    failedChanges += bench.remove(portB) ? 0 : 1;
    const int droppedByRemoval = check("a removal of another port");
    betweenClicks();
    QList<QJsonObject> burst;
    QList<quint16> burstPorts;
    for (int i = 0; i < burstStarts; ++i) {
        burstPorts.append(nextPort());
        burst.append(bench.request(burstPorts.last()));
    }
    const int startsBefore = coreStarts;
    const int burstOk = bench.make(burst);
    const int burstCores = coreStarts - startsBefore;
    failedChanges += burstStarts - burstOk;
    const int droppedByBurst = check("a burst of starts");
    settle(drainPollMs * 5 / 2);
    const int droppedLater = check("the draining cores' polls");
    const int survived = heldConnections - dropped;

    // Back to the one port, with no core draining.
    held.clear();
    failedChanges += burstStarts - bench.make({}, burstPorts);
    waitUntilDrained(manager);

    // New connections to the port while another port is started, and removed again (which
    // needs no new core).
    std::vector<double> gaps, answers;
    int refusedAfterAnswer = 0, notBack = 0, probeErrors = 0;
    for (int i = 0; i < repetitions; ++i) {
        betweenClicks();
        const quint16 port = nextPort();
        RefusalProbe probe(portA);
        settle(20); // the port is seen accepting first
        const Clock::time_point asked = Clock::now();
        const bool ok = bench.start(port);
        const Clock::time_point answered = Clock::now();
        answers.push_back(msSince(asked, answered));
        settle(afterAnswerMs);
        probe.finish();
        failedChanges += ok ? 0 : 1;
        gaps.push_back(probe.longestMs);
        refusedAfterAnswer += probe.lastRefused > answered ? 1 : 0;
        notBack += probe.refusedAtEnd ? 1 : 0;
        probeErrors += probe.otherErrors;
        fprintf(stderr,
                "change %d: answered after %.2f ms, longest refusal %.2f ms in %d attempts\n", i,
                answers.back(), probe.longestMs, probe.attempts);
        failedChanges += bench.remove(port) ? 0 : 1;
    }

    // Memory: with one core and its prepared successor, then with three more cores draining,
    // each carrying one held connection.
    waitUntilDrained(manager);
    settle(1000);
    const double memoryNone = familyPssMiB("none draining");
    for (int i = 0; i < drainingForMemory; ++i) {
        held.push_back(std::make_unique<HeldConnection>());
        if (!held.back()->open(portA, echoPort) || !held.back()->echoes("hello")) {
            out << "a connection through the first port did not echo\n";
            return 1;
        }
        betweenClicks();
        failedChanges += bench.start(nextPort()) ? 0 : 1;
    }
    settle(1000);
    const int drainingNow = manager.drainingProcessIds().size();
    const double memoryThree = familyPssMiB("three draining");

    out << "handover of the ports at a change (" << heldConnections << " connections held, "
        << repetitions << " changes for the refusal gap):\n"
        << QString("  connections dropped by changes: %1 (of %2 held; by a start %3, a rewrite "
                   "%4, a removal %5, a burst %6, later %7)\n")
               .arg(dropped)
               .arg(heldConnections)
               .arg(droppedByStart)
               .arg(droppedByRewrite)
               .arg(droppedByRemoval)
               .arg(droppedByBurst)
               .arg(droppedLater)
        << QString("  connections that survived every change: %1\n").arg(survived)
        << QString("  cores made by a burst of starts: %1 (for %2 starts asked in one turn, "
                   "%3 answered ok)\n")
               .arg(burstCores)
               .arg(burstStarts)
               .arg(burstOk)
        << QString("  rewritten port leaves through the new country: %1\n")
               .arg(rewritten ? "yes" : "no")
        << QString("  refusal gap median: %1 ms\n").arg(median(gaps), 0, 'f', 1)
        << QString("  refusal gap worst: %1 ms\n")
               .arg(*std::max_element(gaps.begin(), gaps.end()), 0, 'f', 1)
        << QString("  start of another port, until answered: %1 ms (median)\n")
               .arg(median(answers), 0, 'f', 1)
        << QString("  changes answered while the other port still refused: %1 (of %2; "
                   "not back %3 ms after the answer: %4)\n")
               .arg(refusedAfterAnswer)
               .arg(repetitions)
               .arg(afterAnswerMs)
               .arg(notBack)
        << QString("  memory with three cores draining: %1 MiB (PSS of this process and its "
                   "children; %2 cores draining)\n")
               .arg(memoryThree, 0, 'f', 1)
               .arg(drainingNow)
        << QString("  memory with none draining: %1 MiB\n").arg(memoryNone, 0, 'f', 1)
        << QString("  changes that failed: %1\n").arg(failedChanges)
        << QString("  probe attempts that failed without a refusal (reset): %1\n").arg(probeErrors);
    return failedChanges == 0 ? 0 : 1;
}
