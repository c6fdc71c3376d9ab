// Latency of one proxy change as the client makes it (add the entry and restart the core,
// which fetches its configuration from the HTTP service) until the new port relays a
// request through the stand-in gateway, against starting the core directly on the same
// configuration from a file until that port relays. Needs port 9584 free. Run by hand:
//   build/bench/bench_change [repetitions]
#include "core/configurl.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "residentialgateway.h"
#include "support/relayprobe.h"
#include "util/constants.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
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
    const int repetitions = argc > 1 ? std::max(3, atoi(argv[1])) : 10;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg)
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

    ResidentialGateway gateway;
    gateway.addAccount("vx_demo", "k3yS3cret");
    gateway.listenHttp(QHostAddress::LocalHost);
    TargetServer target;
    V2RayManager manager;
    HttpService service(manager.configStore());
    if (!service.listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT)) {
        out << "port 9584 is taken\n";
        return 1;
    }
    manager.resetConfig();

    std::vector<double> change, direct;
    QElapsedTimer timer;
    for (int i = 0; i < repetitions; ++i) {
        const quint16 port = freePort();
        const QJsonObject request{{"ip", "127.0.0.1"},     {"port", gateway.httpPort()},
                                  {"username", "vx_demo"}, {"password", "k3yS3cret"},
                                  {"proxyType", "HTTP"},   {"local_port", port},
                                  {"counrtyList", "US"},   {"gender", true}};
        // A running core, as when the user adds a proxy beside others, and half a second
        // with the event loop running, as between two clicks: the next core's process is
        // prepared meanwhile, as it would be for the user.
        manager.startV2Ray();
        QTest::qWait(500);

        timer.start();
        manager.requestStart(request, [](const V2RayManager::Outcome &) {});
        const bool relayed = waitUntilRelays(port, target);
        change.push_back(timer.nsecsElapsed() / 1e6);
        manager.stopV2Ray();

        QFile file(runtime.filePath("direct.json"));
        file.open(QIODevice::WriteOnly);
        file.write(manager.readConfig());
        file.close();
        QProcess directCore;
        timer.start();
        directCore.start(core, {"-config", file.fileName()});
        directCore.waitForStarted();
        const bool relayedDirect = waitUntilRelays(port, target);
        direct.push_back(timer.nsecsElapsed() / 1e6);
        directCore.kill();
        directCore.waitForFinished();

        if (!relayed || !relayedDirect) {
            out << "run " << i << ": a port did not relay\n";
            return 1;
        }
        manager.removeProxyEntry(port);
    }
    const double c = median(change), d = median(direct);
    out << "change latency (median of " << repetitions << "):\n"
        << QString("  add + restart via HTTP service until relaying: %1 ms\n").arg(c, 0, 'f', 1)
        << QString("  core started directly from a file until relaying: %1 ms\n").arg(d, 0, 'f', 1)
        << QString("  ratio: %1 (target at most 1.3)\n").arg(c / d, 0, 'f', 2);
    return 0;
}
