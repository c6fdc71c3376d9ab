// Latency of one proxy start as the user feels it: from the rotating page's message (code 6,
// sent by the page's own script over the web channel) until a request through the new local
// port reaches its target via the stand-in gateway, against the core started alone on the
// same configuration from a file until that port relays; and until the page has the
// program's answer, the port, which it shows the user. The client is the real window,
// signed in to the stand-in account service, with one proxy already running. The gateway,
// the target and the probe run on a thread of their own, as they would in other processes.
// Needs ports 9584 and 18080 free and an X display. Run by hand:
//   build/bench/bench_page [repetitions]
#include "accountservice.h"
#include "app/mainwindow.h"
#include "core/v2raymanager.h"
#include "residentialgateway.h"
#include "support/clientsession.h"
#include "support/isolatedenvironment.h"
#include "support/relayprobe.h"
#include "util/commconutils.h"
#include "util/renderer.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace {

// Microseconds of the wall clock, which the page's clock (performance.timeOrigin) shares.
double nowUs()
{
    using namespace std::chrono;
    return double(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The moments the client's log marks, first occurrence after the mark was armed.
struct LogMarks
{
    // Log lines a change passes. The running core gives up its ports through its API before
    // the next core is let go, which no line of its own marks.
    static constexpr const char *lines[] = {
        "Message from HTML:",                             // the bridge has the message
        "Starting the core",                              // the next core is let go
        "Received HTTP request: \"GET /xray_config.json", // the new core asks for its config
    };
    static constexpr int count = 3;

    std::mutex mutex;
    double at[count] = {};
    bool armed = false;

    void arm()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::fill(std::begin(at), std::end(at), 0.0);
        armed = true;
    }
    void seen(const QString &message)
    {
        const double now = nowUs();
        std::lock_guard<std::mutex> lock(mutex);
        if (!armed)
            return;
        for (int i = 0; i < count; ++i) {
            if (at[i] == 0 && message.startsWith(QLatin1String(lines[i])))
                at[i] = now;
        }
    }
};

LogMarks marks;

// The gateway, the target and the probe, on their own thread.
class Relays : public QObject
{
public:
    ResidentialGateway *gateway = nullptr;
    TargetServer *target = nullptr;

    void setUp()
    {
        gateway = new ResidentialGateway(this);
        gateway->addAccount("vx_demo", "k3yS3cret");
        gateway->listenHttp(QHostAddress::LocalHost);
        target = new TargetServer(this);
    }

    // Probes the port from the relay thread, from before act() runs here until the port
    // relays; the moment it first did, or -1. The window's thread meanwhile waits in its
    // event loop, idle as it would be for the user, not polling.
    double relayedAfter(quint16 port, const std::function<void()> &act = {})
    {
        QEventLoop loop;
        std::atomic<double> at{0};
        QMetaObject::invokeMethod(
            this,
            [&, port] {
                at = waitUntilRelays(port, *target, 20000) ? nowUs() : -1;
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        if (act)
            act();
        if (at == 0) {
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return at;
    }
};

// Half a second with the event loop running, as between two clicks of the user.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(500, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    IsolatedEnvironment environment;
    CommconUtils::initApplication(true);
    QApplication app(argc, argv);
    Renderer::chooseForWebView();
    const int repetitions = argc > 1 ? std::max(3, atoi(argv[1])) : 7;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        marks.seen(msg);
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QTextStream out(stdout);

    const QString core = QStandardPaths::findExecutable("v2ray");
    ClientSession client("_en", false);
    if (core.isEmpty() || !client.error.isEmpty()) {
        out << "not ready: " << (core.isEmpty() ? "v2ray not found" : client.error) << "\n";
        return 1;
    }
    QThread relayThread;
    Relays relays;
    relays.moveToThread(&relayThread);
    relayThread.start();
    QMetaObject::invokeMethod(
        &relays, [&] { relays.setUp(); }, Qt::BlockingQueuedConnection);
    const auto finish = qScopeGuard([&] {
        relayThread.quit();
        relayThread.wait();
    });

    client.window->show();
    PageDriver &page = *client.page;
    if (!page.signIn("demo@vexalo.test", "demo1234", "_en") ||
        !page.openMenu("rotatingagent", "$('#proxyList option').length == 21")) {
        out << "the rotating page did not open\n";
        return 1;
    }
    // The page's answer (sigSendMessageToJS) notes when it arrived, on the page's clock,
    // before the page shows it.
    page.eval(
        "(function () { var show = sigSendMessageToJS; sigSendMessageToJS ="
        " function (port) { window.answeredAt ="
        " (performance.timeOrigin + performance.now()) * 1000; return show(port); }; })(); 0");
    auto *runtime = client.window->findChild<V2RayManager *>();
    const auto request = [&](quint16 port) {
        return QJsonObject{{"ip", "127.0.0.1"},     {"port", relays.gateway->httpPort()},
                           {"username", "vx_demo"}, {"password", "k3yS3cret"},
                           {"proxyType", "HTTP"},   {"local_port", port},
                           {"counrtyList", "US"},   {"gender", true}};
    };
    // The page's own sending of a message, its clock read just before.
    const auto send = [&](int code, const QJsonValue &data) {
        const QString message = QJsonDocument(QJsonObject{{"code", code}, {"data", data}})
                                    .toJson(QJsonDocument::Compact);
        page.eval(QString("window.sentAt = (performance.timeOrigin + performance.now()) * 1000;"
                          " myObject.sendMsg(%1); 0")
                      .arg(PageDriver::quoted(message)));
        return page.eval("window.sentAt").toDouble();
    };
    // A proxy already running beside the ones the user adds.
    const quint16 running = CommconUtils::getUnusedPort();
    if (relays.relayedAfter(running, [&] { send(6, request(running)); }) < 0) {
        out << "the first proxy did not relay\n";
        return 1;
    }
    page.eval("$('.nz-msgbox .nz-msgbox-ok').click()");

    enum { Transit, UntilGo, UntilAsked, UntilRelayed, StepCount };
    const char *steps[StepCount] = {
        "message transit (page to bridge)",
        "the change checked and written and the running core's ports handed over, until the "
        "next core is let go",
        "the next core, until it asks for its configuration",
        "the configuration's fetch and the core's start, until the port relays",
    };
    std::vector<double> total, answered, direct, parts[StepCount];
    for (int i = 0; i < repetitions; ++i) {
        settle();
        const quint16 port = CommconUtils::getUnusedPort();
        marks.arm();
        double sent = 0;
        const double relayed = relays.relayedAfter(port, [&] { sent = send(6, request(port)); });
        if (relayed < 0) {
            out << "run " << i << ": the new port did not relay\n";
            return 1;
        }
        total.push_back((relayed - sent) / 1000);
        {
            std::lock_guard<std::mutex> lock(marks.mutex);
            marks.armed = false;
            const double *at = marks.at;
            const auto ms = [](double from, double to) {
                return (to - from) / 1000;
            };
            parts[Transit].push_back(ms(sent, at[0]));
            parts[UntilGo].push_back(ms(at[0], at[1]));
            parts[UntilAsked].push_back(ms(at[1], at[2]));
            parts[UntilRelayed].push_back(ms(at[2], relayed));
        }
        if (!page.waitFor("window.answeredAt > window.sentAt")) {
            out << "run " << i << ": the page had no answer\n";
            return 1;
        }
        answered.push_back((page.eval("window.answeredAt").toDouble() - sent) / 1000);
        page.waitFor("$('.nz-msgbox:visible').length == 1");
        page.eval("$('.nz-msgbox .nz-msgbox-ok').click()");

        // The reference: the core alone on the same document, from a file.
        runtime->stopV2Ray();
        QFile file(client.folder.filePath("direct.json"));
        file.open(QIODevice::WriteOnly);
        file.write(runtime->readConfig());
        file.close();
        // Started by a small shell that waits for a line, so that neither the fork of this
        // large process nor the shell's own start is counted.
        QProcess alone;
        alone.start("sh",
                    {"-c", "read -r line && exec \"$0\" -config \"$1\"", core, file.fileName()});
        alone.waitForStarted();
        settle();
        double started = 0;
        const double aloneRelayed = relays.relayedAfter(port, [&] {
            started = nowUs();
            alone.write("\n");
            alone.waitForBytesWritten();
        });
        direct.push_back((aloneRelayed - started) / 1000);
        alone.kill();
        alone.waitForFinished();
        if (aloneRelayed < 0) {
            out << "run " << i << ": the core alone did not relay\n";
            return 1;
        }

        // The client's core back on its document, and the page removes the proxy again. A
        // removal only closes the port on the running core, so it brings no core back itself.
        if (relays.relayedAfter(running, [&] { runtime->startV2Ray(); }) < 0) {
            out << "run " << i << ": the running proxy did not come back\n";
            return 1;
        }
        send(5, port);
        if (!QTest::qWaitFor([port] { return !CommconUtils::portAccepts(port); }, 5000)) {
            out << "run " << i << ": the removed port still accepts connections\n";
            return 1;
        }
    }

    std::vector<double> ratios;
    for (size_t i = 0; i < total.size(); ++i)
        ratios.push_back(total[i] / direct[i]);
    out << "page start until the new port relays (median of " << repetitions << "):\n"
        << QString("  page message until relaying: %1 ms\n").arg(median(total), 0, 'f', 1)
        << QString("  page message until the page's answer: %1 ms\n")
               .arg(median(answered), 0, 'f', 1)
        << QString("  core alone from a file until relaying: %1 ms\n")
               .arg(median(direct), 0, 'f', 1)
        << QString("  ratio: %1 (median of the pairs' ratios; target at most 1.3)\n")
               .arg(median(ratios), 0, 'f', 2)
        << "  where the page's time goes (medians):\n";
    for (int step = 0; step < StepCount; ++step)
        out << QString("    %1: %2 ms\n").arg(steps[step]).arg(median(parts[step]), 0, 'f', 1);
    return 0;
}
