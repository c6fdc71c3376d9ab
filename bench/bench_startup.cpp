// Start time and memory of the client until its login page has loaded, against a bare web
// view (bench_bareview) loading a trivial page. Each run starts the program in a fresh
// folder with a fresh HOME and XDG folders, so no profile, cookie or cache carries over,
// and the two programs take turns. Needs an X display and port 9584 free (the client's
// HTTP service). Run by hand:
//   build/bench/bench_startup [repetitions]
#include "freshfolder.h"
#include "processtree.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

// The same for both programs, and twice what the sum of PSS takes to settle after
// loadFinished on this machine (the renderer paints, the page's scripts start).
const int settleMs = 1000;

struct Run
{
    double startMs = -1;
    double pssMiB = 0;
    int processes = 0;
    std::vector<ProcessTree::Process> tree;
};

// Proportional set size: each resident page counts divided by the number of processes
// that map it. The client and its web engine processes share most of their pages (the Qt
// and Chromium libraries, shared memory between browser and renderer), so summing RSS
// over the tree would count those pages once per process; the sum of PSS counts each
// page once, which is what the tree really costs the machine.
double pssMiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

void wait(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

Run runOnce(const QString &program, const QByteArray &loadedLine, const QString &core)
{
    Run run;
    const FreshFolder folder(core);
    QProcess process;
    folder.prepare(process);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QEventLoop loop;
    QElapsedTimer sinceStart;
    QByteArray output;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        output += process.readAllStandardOutput();
        if (run.startMs < 0 && output.contains(loadedLine)) {
            run.startMs = sinceStart.nsecsElapsed() / 1e6;
            loop.quit();
        }
    });
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    sinceStart.start();
    process.start(program, QStringList());
    loop.exec();

    if (run.startMs >= 0) {
        wait(settleMs);
        run.tree = ProcessTree::of(process.processId());
        for (const ProcessTree::Process &member : run.tree)
            run.pssMiB += pssMiB(member.pid);
        run.processes = int(run.tree.size());
    } else {
        QTextStream(stderr) << program << " did not log " << loadedLine << "; its output:\n"
                            << output << "\n";
    }

    // The web engine's processes end with the program; any left over are ended here, so
    // that the next run has the machine to itself.
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    ProcessTree::reap(run.tree, 5000);
    return run;
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
    const int repetitions = argc > 1 ? std::max(3, atoi(argv[1])) : 7;
    QTextStream out(stdout);

    const QString core = QStandardPaths::findExecutable("v2ray");
    if (core.isEmpty()) {
        out << "v2ray not found\n";
        return 1;
    }
    const QString client = QStringLiteral(VEXALO_APP_PATH);
    const QString bare = QStringLiteral(BAREVIEW_PATH);
    const QByteArray clientLoaded = "Page loaded: \"qrc:/html/login_cn.html\" ok";
    const QByteArray bareLoaded = "Page loaded: \"qrc:/bareview/page.html\" ok";

    // A first run of each reads the libraries from disk; it is not counted.
    runOnce(client, clientLoaded, core);
    runOnce(bare, bareLoaded, core);

    std::vector<double> clientMs, bareMs, clientMiB, bareMiB, startRatios, memoryRatios;
    int clientProcesses = 0, bareProcesses = 0;
    for (int i = 0; i < repetitions; ++i) {
        // Alternate which goes first, so that neither always follows the other.
        Run c, b;
        if (i % 2 == 0) {
            c = runOnce(client, clientLoaded, core);
            b = runOnce(bare, bareLoaded, core);
        } else {
            b = runOnce(bare, bareLoaded, core);
            c = runOnce(client, clientLoaded, core);
        }
        if (c.startMs < 0 || b.startMs < 0)
            return 1;
        clientMs.push_back(c.startMs);
        bareMs.push_back(b.startMs);
        clientMiB.push_back(c.pssMiB);
        bareMiB.push_back(b.pssMiB);
        // Each pair runs within seconds; its ratio follows the machine's changing load better
        // than the ratio of the medians.
        startRatios.push_back(c.startMs / b.startMs);
        memoryRatios.push_back(c.pssMiB / b.pssMiB);
        QTextStream(stderr) << QString("pair %1: client %2 ms %3 MiB, bare view %4 ms %5 MiB\n")
                                   .arg(i + 1)
                                   .arg(c.startMs, 0, 'f', 1)
                                   .arg(c.pssMiB, 0, 'f', 1)
                                   .arg(b.startMs, 0, 'f', 1)
                                   .arg(b.pssMiB, 0, 'f', 1);
        clientProcesses = c.processes;
        bareProcesses = b.processes;
    }

    out << "start until the page loaded (median of " << repetitions << " runs each):\n"
        << QString("  client, login page: %1 ms\n").arg(median(clientMs), 0, 'f', 1)
        << QString("  bare view, trivial page: %1 ms\n").arg(median(bareMs), 0, 'f', 1)
        << QString("  ratio (median of the pairs): %1 (target at most 1.15)\n")
               .arg(median(startRatios), 0, 'f', 2)
        << "memory " << settleMs << " ms after the page loaded, PSS summed over the process tree:\n"
        << QString("  client: %1 MiB in %2 processes\n")
               .arg(median(clientMiB), 0, 'f', 1)
               .arg(clientProcesses)
        << QString("  bare view: %1 MiB in %2 processes\n")
               .arg(median(bareMiB), 0, 'f', 1)
               .arg(bareProcesses)
        << QString("  ratio (median of the pairs): %1 (target at most 1.2)\n")
               .arg(median(memoryRatios), 0, 'f', 2);
    return 0;
}
