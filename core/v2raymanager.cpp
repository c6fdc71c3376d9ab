#include "v2raymanager.h"

#include "core/configurl.h"
#include "core/coreapi.h"
#include "core/corefile.h"
#include "core/drainingcores.h"
#include "core/proxyentries.h"
#include "util/commconutils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

#ifdef Q_OS_WIN
const QString corePath = QStringLiteral("run/corvane.exe");
#else
const QString corePath = QStringLiteral("run/corvane");
#endif

// Only where a draining core's connections can be counted does a core hand its ports over;
// elsewhere a change kills the core and starts the next one.
#ifdef Q_OS_LINUX
const bool handOverPorts = true;
#else
const bool handOverPorts = false;
#endif

const int coreWaitMs = 30000;

// Forking this process, large once the web engine runs, takes longer than the core's own
// start; so the next core's process is forked ahead of time, as a shell that waits for a
// line (the address of its configuration) and then becomes the core. It is prepared a little
// after a start, when the core has come up and the page has its answer.
const int prepareDelayMs = 250;

// The core's API answers on loopback within milliseconds; one that takes longer is not
// waited for, and the core is restarted instead.
const int apiTimeoutMs = 1000;
// How long a new core may take until the ports of a start accept connections, and how
// often they are tried meanwhile.
const int portsUpMs = 5000;
const int portWatchMs = 3;

// How much of the core's latest output is kept, to say why it ended by itself.
const int recentOutputBytes = 4096;
const int lastOutputLines = 3;

// The last few non-empty lines of the core's output: where it says why it gave up.
QByteArray lastLines(const QByteArray &output)
{
    QList<QByteArray> lines;
    for (const QByteArray &line : output.split('\n')) {
        if (!line.trimmed().isEmpty())
            lines.append(line.trimmed());
    }
    return lines.mid(qMax(0, lines.size() - lastOutputLines)).join(" | ");
}

quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QStringList inboundTags(const QSet<quint16> &ports)
{
    QStringList tags;
    for (quint16 port : ports)
        tags.append(ProxyEntries::inboundTag(port));
    return tags;
}

bool anyAccepts(const QSet<quint16> &ports)
{
    return std::any_of(ports.cbegin(), ports.cend(), CommconUtils::portAccepts);
}

} // namespace

// The changes made together, and what the core must show before they are answered.
struct V2RayManager::Batch
{
    QList<Change> changes;
    QJsonObject root;                              // what is stored
    std::unique_ptr<ConfigStore::Pending> written; // its bytes, not yet in place
    QJsonObject previous; // what was stored before, brought back should the core fail
    QSet<quint16> started;
    QSet<quint16> removed;
    quint64 generation = 0;
    QElapsedTimer clock;
    // The core before the change, while it hands its ports over, and what it served.
    CoreProcess *oldCore = nullptr;
    QSet<quint16> oldPorts;
};

V2RayManager::V2RayManager(QObject *parent)
    : QObject(parent)
    , draining(new DrainingCores(this))
    , coreApi(new CoreApiClient(this))
    , configPath(QDir(QDir::currentPath()).filePath(QStringLiteral("run/config.json")))
    , store(configPath)
    , portWatch(new QTimer(this))
{
    process = newCoreProcess();
    v2rayPath = QDir(QDir::currentPath()).filePath(corePath);
    qDebug() << "v2rayPath:" << v2rayPath;
    qDebug() << "configPath:" << configPath;
    CoreFile::removeStale(QFileInfo(configPath).path());
    portWatch->setInterval(portWatchMs);
    portWatch->setTimerType(Qt::PreciseTimer);
    connect(portWatch, &QTimer::timeout, this, &V2RayManager::awaitPorts);
}

V2RayManager::~V2RayManager()
{
    dropBatch();
    stopV2Ray();
    draining->endAll();
    if (next && next->state() != QProcess::NotRunning) {
        next->kill();
        next->waitForFinished(coreWaitMs);
    }
}

// Only the current core's output and end are reported; a prepared one has none of its own,
// and a draining one's is dropped.
CoreProcess *V2RayManager::newCoreProcess()
{
    auto *core = new CoreProcess(this);
    connect(core, &QProcess::readyReadStandardOutput, this, [this, core] {
        if (core == process)
            readOutput();
    });
    connect(core, &QProcess::readyReadStandardError, this, [this, core] {
        if (core == process)
            readError();
    });
    connect(core, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, core](int exitCode, QProcess::ExitStatus exitStatus) {
                if (core == process)
                    processFinished(stopping, exitCode, exitStatus);
            });
    return core;
}

void V2RayManager::prepareNextCore()
{
#ifdef Q_OS_UNIX
    if (next && next->state() != QProcess::NotRunning)
        return;
    delete next;
    next = nullptr;
    QString error;
    runnablePath = CoreFile::runnableCopy(v2rayPath, &error);
    if (runnablePath.isEmpty())
        return;
    next = newCoreProcess();
    next->start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("read -r url && exec \"$0\" -config \"$url\""), runnablePath},
                QIODevice::ReadWrite);
    // Until the shell runs, the forked child holds copies of every descriptor of this
    // process, the service's listening socket among them: a port closed meanwhile would
    // stay taken.
    next->waitForStarted(coreWaitMs);
#endif
}

quint16 V2RayManager::applyStart(QJsonObject &root, const QJsonObject &request, QString *error)
{
    const ProxyEntries::LocalPort local = ProxyEntries::localPort(request);
    const ProxyEntries::Server checked =
        ProxyEntries::server(request, [this] { return randomString(8); });
    if (!local.error.isEmpty() || !checked.error.isEmpty()) {
        *error = local.error.isEmpty() ? checked.error : local.error;
        qDebug() << "Proxy entry refused:" << *error;
        return 0;
    }
    // A port that already has an entry gets its outbound rewritten, in the same edit.
    if (local.present && ProxyEntries::rewriteEntry(root, local.port, checked.object, request))
        return local.port;
    // The core could not bind a port that another program holds, and would then open none
    // of its ports at all. The document's own ports may be held by the running core.
    if (local.present && !ProxyEntries::usedPorts(root).contains(local.port) &&
        !CommconUtils::isPortFree(local.port)) {
        *error = QStringLiteral("local port %1 is in use by another program").arg(local.port);
        qDebug() << "Proxy entry refused: local port" << local.port
                 << "is in use by another program";
        return 0;
    }
    const quint16 port = local.present ? local.port
                                       : ProxyEntries::choosePort(ProxyEntries::usedPorts(root),
                                                                  CommconUtils::getUnusedPort);
    if (port == 0) {
        *error = QStringLiteral("no free local port");
        qDebug() << "Proxy entry refused:" << *error;
        return 0;
    }
    ProxyEntries::appendEntry(root, port, checked.object, request);
    return port;
}

quint16 V2RayManager::addProxyEntry(QJsonObject request)
{
    QJsonObject root;
    if (!store.load(&root))
        return 0;
    QString error;
    const quint16 port = applyStart(root, request, &error);
    if (port == 0 || !store.store(root))
        return 0;
    qDebug() << "File modification completed.";
    return port;
}

bool V2RayManager::removeProxyEntry(int port)
{
    QJsonObject root;
    if (!store.load(&root))
        return false;
    ProxyEntries::removeEntry(root, port);
    if (!store.store(root))
        return false;
    qDebug() << "File modification completed.";
    return true;
}

QString V2RayManager::randomString(int length)
{
    return ProxyEntries::randomString(length);
}

void V2RayManager::requestStart(const QJsonObject &request, Done done)
{
    if (!startRefusal.isEmpty()) {
        qDebug() << "Core not started:" << startRefusal;
        Outcome outcome;
        outcome.port = quint16(ProxyEntries::localPort(request).port);
        outcome.reason = startRefusal;
        emit startSettled(outcome.port, false, outcome.reason);
        if (done)
            done(outcome);
        return;
    }
    Change change;
    change.start = true;
    change.request = request;
    change.port = ProxyEntries::localPort(request).port;
    change.done = std::move(done);
    pending.append(change);
    runChanges();
}

void V2RayManager::requestRemoval(int port, Done done)
{
    Change change;
    change.port = port;
    change.done = std::move(done);
    pending.append(change);
    runChanges();
}

namespace {

void settle(V2RayManager *manager, const V2RayManager::Outcome &outcome,
            const std::function<void(const V2RayManager::Outcome &)> &done, bool start)
{
    if (start)
        emit manager->startSettled(outcome.port, outcome.ok, outcome.reason);
    if (done)
        done(outcome);
}

} // namespace

// Takes every change asked for so far: each is checked and edited into the document, those
// refused are answered at once, and the rest are stored and brought onto the core together.
void V2RayManager::runChanges()
{
    if (batch || pending.isEmpty())
        return;
    const QList<Change> changes = std::exchange(pending, {});
    QJsonObject root;
    const bool loaded = store.load(&root);
    const bool starts = std::any_of(changes.cbegin(), changes.cend(),
                                    [](const Change &change) { return change.start; });
    QString refusal = loaded ? QString() : QStringLiteral("the configuration cannot be read");
    if (loaded && starts) {
        QString error;
        if (serviceCheck && !serviceCheck()) {
            // Another program on the service's port would be asked for the configuration.
            qDebug() << "Core not started: the HTTP service is not listening";
            refusal = QStringLiteral("the local HTTP service is not listening");
        } else if ((runnablePath = CoreFile::runnableCopy(v2rayPath, &error)).isEmpty()) {
            qDebug() << "Core not started:" << error;
            refusal = error;
        }
    }

    auto *made = new Batch;
    made->previous = root;
    made->generation = changeGeneration;
    for (Change change : changes) {
        if (!loaded || (change.start && !refusal.isEmpty())) {
            settle(this, {false, quint16(change.port), refusal}, change.done, change.start);
            continue;
        }
        if (change.start) {
            QString error;
            change.port = applyStart(root, change.request, &error);
            if (change.port == 0) {
                const quint16 asked = ProxyEntries::localPort(change.request).port;
                settle(this, {false, asked, error}, change.done, true);
                continue;
            }
            made->started.insert(change.port);
        } else if (ProxyEntries::hasEntry(root, change.port)) {
            ProxyEntries::removeEntry(root, change.port);
            made->removed.insert(change.port);
        }
        made->changes.append(change);
    }
    made->root = root;
    batch = made;
    if (made->started.isEmpty() && made->removed.isEmpty())
        finishBatch(true); // nothing to change, or only ports without an entry to remove
    else if (made->started.isEmpty())
        removeOnRunningCore();
    else
        handOver();
}

// The next core is let go at once and starts while the running core gives up every port
// through its API (it keeps carrying its connections; where the API cannot do it, the core
// is ended instead) and the file is committed. What the next core asks for is held back until
// both are done, so that it gets the new configuration and finds the ports free.
void V2RayManager::handOver()
{
    Batch *const current = batch;
    // Written in full before any core is touched: a file that cannot be written leaves the
    // running proxies alone.
    current->written = store.prepare(current->root);
    if (!current->written) {
        finishBatch(false, QStringLiteral("the configuration could not be written"));
        return;
    }
    const quint16 oldApiPort = apiPort;
    if (coreRunning()) {
        current->oldCore = process;
        current->oldPorts = servedPorts;
    }
    holdReads();
    servedPorts = ProxyEntries::usedPorts(current->root);
    startCore();
    if (!current->oldCore || oldApiPort == 0) {
        launch(false);
        return;
    }
    const quint64 generation = current->generation;
    coreApi->removeInbounds(
        oldApiPort, inboundTags(current->oldPorts), apiTimeoutMs, [this, generation](bool ok) {
            if (cancelled(generation))
                return;
            const bool running = batch->oldCore->state() != QProcess::NotRunning;
            launch(ok && running && !anyAccepts(batch->oldPorts));
        });
}

// Once the old core has handed its ports over, or ended, the new file takes its place and
// the next core gets it.
void V2RayManager::launch(bool handedOver)
{
    Batch *const current = batch;
    CoreProcess *const old = std::exchange(current->oldCore, nullptr);
    if (old && !handedOver) {
        if (old->state() != QProcess::NotRunning)
            qDebug() << "The core is ended instead of handing its ports over";
        old->kill();
        old->waitForFinished(coreWaitMs);
        old->deleteLater();
    }
    // Should the commit fail, the next core gets the old file: the proxies it held come back.
    const bool stored = store.commit(std::move(current->written));
    releaseReads();
    if (old && handedOver)
        draining->retire(old, current->oldPorts);
    if (!stored) {
        finishBatch(false, QStringLiteral("the configuration could not be written"));
        return;
    }
    current->clock.start();
    portWatch->start();
    awaitPorts();
}

void V2RayManager::holdReads()
{
    store.holdReads();
    readsHeld = true;
}

void V2RayManager::releaseReads()
{
    if (std::exchange(readsHeld, false))
        store.releaseReads();
}

void V2RayManager::awaitPorts()
{
    if (!batch)
        return;
    if (!coreRunning()) {
        restorePrevious(QStringLiteral("the core exited at its start"));
        return;
    }
    const bool up =
        std::all_of(batch->started.cbegin(), batch->started.cend(), CommconUtils::portAccepts);
    if (up) {
        finishBatch(true);
        return;
    }
    if (batch->clock.hasExpired(portsUpMs)) {
        qDebug() << "V2Ray did not open its ports within" << portsUpMs
                 << "ms, last error output:" << lastLines(recentOutput);
        restorePrevious(QStringLiteral("the core did not open its ports"));
    }
}

// The new core failed: the document before the change is stored again and a core started
// on it, so that the earlier proxies relay again.
void V2RayManager::restorePrevious(const QString &reason)
{
    portWatch->stop();
    stopV2Ray();
    if (store.store(batch->previous)) {
        servedPorts = ProxyEntries::usedPorts(batch->previous);
        if (!servedPorts.isEmpty())
            startCore();
    }
    finishBatch(false, reason);
}

// A removal alone needs no new core: the running one closes that port and lets the port's
// own connections finish, and its other ports see no gap.
void V2RayManager::removeOnRunningCore()
{
    if (!store.store(batch->root)) {
        finishBatch(false, QStringLiteral("the configuration could not be written"));
        return;
    }
    const QSet<quint16> gone = batch->removed & servedPorts;
    if (!coreRunning() || gone.isEmpty()) {
        finishBatch(true);
        return;
    }
    if (apiPort == 0) {
        restartFor(gone);
        return;
    }
    const quint64 generation = batch->generation;
    coreApi->removeInbounds(apiPort, inboundTags(gone), apiTimeoutMs,
                            [this, generation, gone](bool ok) {
                                if (cancelled(generation))
                                    return;
                                if (ok && !anyAccepts(gone)) {
                                    servedPorts -= gone;
                                    finishBatch(true);
                                    return;
                                }
                                qDebug() << "Core API did not remove the ports;"
                                         << "the core is restarted";
                                restartFor(gone);
                            });
}

// The removal by a restart: the removed ports are closed once the old core has ended.
void V2RayManager::restartFor(const QSet<quint16> &gone)
{
    stopV2Ray();
    servedPorts = ProxyEntries::usedPorts(batch->root);
    if (!servedPorts.isEmpty()) {
        if (serviceCheck && !serviceCheck())
            qDebug() << "Core not started: the HTTP service is not listening";
        else
            startCore();
    }
    finishBatch(!anyAccepts(gone), QStringLiteral("the port still accepts connections"));
}

void V2RayManager::finishBatch(bool ok, const QString &reason)
{
    portWatch->stop();
    Batch *const done = std::exchange(batch, nullptr);
    for (const Change &change : done->changes) {
        const Outcome outcome{ok, quint16(change.port), ok ? QString() : reason};
        settle(this, outcome, change.done, change.start);
    }
    delete done;
    if (!pending.isEmpty())
        QTimer::singleShot(0, this, &V2RayManager::runChanges);
}

// A change cut short: its file is not committed, and the core it was replacing ends.
void V2RayManager::dropBatch()
{
    if (!batch)
        return;
    batch->written.reset();
    releaseReads();
    if (CoreProcess *old = std::exchange(batch->oldCore, nullptr)) {
        old->kill();
        old->waitForFinished(coreWaitMs);
        old->deleteLater();
    }
    delete std::exchange(batch, nullptr);
}

void V2RayManager::shutDown()
{
    ++changeGeneration;
    portWatch->stop();
    QList<Change> cancelledChanges = std::exchange(pending, {});
    if (batch)
        cancelledChanges += batch->changes;
    dropBatch();
    for (const Change &change : cancelledChanges) {
        if (change.start)
            emit startSettled(quint16(change.port), false, QStringLiteral("stopped"));
    }
    stopV2Ray();
    draining->endAll();
    resetConfig();
}

bool V2RayManager::resetConfig()
{
    return store.storePlain(ProxyEntries::templateText());
}

QByteArray V2RayManager::readConfig()
{
    return store.readPlain();
}

// The prepared shell, when it runs.
bool V2RayManager::nextCoreReady()
{
    if (next && next->state() == QProcess::Starting)
        next->waitForStarted(coreWaitMs);
    return next && next->state() == QProcess::Running;
}

void V2RayManager::startV2Ray()
{
    if (coreRunning())
        return;
    QString error;
    runnablePath = CoreFile::runnableCopy(v2rayPath, &error);
    if (runnablePath.isEmpty()) {
        qDebug() << "Failed to start the core:" << error;
        return;
    }
    QJsonObject root;
    servedPorts = store.load(&root) ? ProxyEntries::usedPorts(root) : QSet<quint16>();
    startCore();
}

// Starts the next core in place of the current one, which has ended or handed its ports
// over: the prepared shell where one is ready (it runs the core file as it is now), else the
// core file itself. The old core's object is let go here unless it still runs, in which case
// its new owner has it.
void V2RayManager::startCore()
{
    qDebug() << "Starting the core";
    recentOutput.clear();
    runTime.start();
    CoreProcess *old = process;
    apiPort = handOverPorts ? freeLoopbackPort() : 0;
    // The configuration is served by the local HTTP service, never read from a file.
    const QString url = CoreApi::configUrl(apiPort);
    if (nextCoreReady()) {
        process = std::exchange(next, nullptr);
        // Written at once: QProcess would otherwise send it from the event loop, after
        // whatever the window does next.
        process->write(url.toUtf8() + '\n');
        process->waitForBytesWritten(coreWaitMs);
    } else {
        process = newCoreProcess();
        process->start(runnablePath.isEmpty() ? v2rayPath : runnablePath,
                       {QStringLiteral("-config"), url}, QIODevice::ReadWrite);
        if (!process->waitForStarted(coreWaitMs))
            qDebug() << "Failed to start the core:" << process->errorString();
    }
    if (old->state() == QProcess::NotRunning)
        old->deleteLater();
    QTimer::singleShot(prepareDelayMs, this, &V2RayManager::prepareNextCore);
}

void V2RayManager::stopV2Ray()
{
    if (process->state() == QProcess::NotRunning)
        return;
    stopping = true;
    process->kill();
    process->waitForFinished(coreWaitMs);
    stopping = false;
}

QList<qint64> V2RayManager::drainingProcessIds() const
{
    return draining->processIds();
}

void V2RayManager::keepOutput(const QByteArray &bytes)
{
    recentOutput += bytes;
    if (recentOutput.size() > recentOutputBytes)
        recentOutput.remove(0, recentOutput.size() - recentOutputBytes);
}

void V2RayManager::readOutput()
{
    const QByteArray bytes = process->readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    keepOutput(bytes);
    qDebug() << "V2Ray Output:" << bytes;
}

void V2RayManager::readError()
{
    const QByteArray bytes = process->readAllStandardError();
    if (bytes.isEmpty())
        return;
    keepOutput(bytes);
    qDebug() << "V2Ray Error:" << bytes;
}

void V2RayManager::processFinished(bool asked, int exitCode, QProcess::ExitStatus exitStatus)
{
    // What the core wrote last may not have been read yet, and it says why it ended.
    if (!asked) {
        readOutput();
        readError();
    }
    qDebug() << "V2Ray process finished with exit code:" << exitCode
             << "Exit status:" << exitStatus;
    if (asked)
        return;
    // Every proxy port of this core is down now.
    qDebug() << "V2Ray exited by itself" << runTime.elapsed()
             << "ms after its start, exit code:" << exitCode << "Exit status:" << exitStatus
             << "last error output:" << lastLines(recentOutput);
}
