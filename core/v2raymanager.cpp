#include "v2raymanager.h"

#include "core/configurl.h"
#include "core/proxyentries.h"
#include "util/commconutils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QScopeGuard>
#include <QTimer>

#include <utility>

namespace {

#ifdef Q_OS_WIN
const QString corePath = QStringLiteral("run/corvane.exe");
#else
const QString corePath = QStringLiteral("run/corvane");
#endif

const int coreWaitMs = 30000;

// Forking this process, large once the web engine runs, takes longer than the core's own
// start; so the next core's process is forked ahead of time, as a shell that waits for a
// line and then becomes the core. It is prepared a little after a start, when the core has
// come up and the page has its answer.
const int prepareDelayMs = 250;

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

} // namespace

V2RayManager::V2RayManager(QObject *parent)
    : QObject(parent)
    , configPath(QDir(QDir::currentPath()).filePath(QStringLiteral("run/config.json")))
    , store(configPath)
{
    process = newCoreProcess();
    v2rayPath = QDir(QDir::currentPath()).filePath(corePath);
    qDebug() << "v2rayPath:" << v2rayPath;
    qDebug() << "configPath:" << configPath;
}

V2RayManager::~V2RayManager()
{
    stopV2Ray();
    if (next && next->state() != QProcess::NotRunning) {
        next->kill();
        next->waitForFinished(coreWaitMs);
    }
}

// Only the current core's output and end are reported; a prepared one has none of its own.
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
                if (core == retiring)
                    processFinished(true, exitCode, exitStatus);
                else if (core == process)
                    processFinished(stopping, exitCode, exitStatus);
            });
    return core;
}

void V2RayManager::prepareNextCore()
{
#ifdef Q_OS_UNIX
    if (!next)
        next = newCoreProcess();
    if (next->state() != QProcess::NotRunning || !QFileInfo(v2rayPath).isExecutable())
        return;
    next->start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("read -r line && exec \"$0\" \"$@\""),
                 v2rayPath, QStringLiteral("-config"), coreConfigUrl()},
                QIODevice::ReadWrite);
    // Until the shell runs, the forked child holds copies of every descriptor of this
    // process, the service's listening socket among them: a port closed meanwhile would
    // stay taken.
    next->waitForStarted(coreWaitMs);
#endif
}

quint16 V2RayManager::addProxyEntry(QJsonObject request, Core core)
{
    const ProxyEntries::LocalPort local = ProxyEntries::localPort(request);
    const ProxyEntries::Server checked =
        ProxyEntries::server(request, [this] { return randomString(8); });
    if (!local.error.isEmpty() || !checked.error.isEmpty()) {
        qDebug() << "Proxy entry refused:" << (local.error.isEmpty() ? checked.error : local.error);
        return 0;
    }

    QJsonObject root;
    if (!store.load(&root))
        return 0;
    // A port that already has an entry gets its outbound rewritten, in the same edit.
    if (local.present && ProxyEntries::rewriteEntry(root, local.port, checked.object, request))
        return commit(root, core) ? local.port : 0;
    // The core could not bind a port that another program holds, and would then open none
    // of its ports at all. The document's own ports may be held by the running core.
    if (local.present && !ProxyEntries::usedPorts(root).contains(local.port) &&
        !CommconUtils::isPortFree(local.port)) {
        qDebug() << "Proxy entry refused: local port" << local.port
                 << "is in use by another program";
        return 0;
    }

    const quint16 port = local.present ? local.port
                                       : ProxyEntries::choosePort(ProxyEntries::usedPorts(root),
                                                                  CommconUtils::getUnusedPort);
    if (port == 0) {
        qDebug() << "Proxy entry refused:"
                 << "no free local port";
        return 0;
    }
    ProxyEntries::appendEntry(root, port, checked.object, request);
    if (!commit(root, core))
        return 0;
    qDebug() << "File modification completed.";
    return port;
}

bool V2RayManager::removeProxyEntry(int port, Core core)
{
    QJsonObject root;
    if (!store.load(&root))
        return false;
    ProxyEntries::removeEntry(root, port);
    if (!commit(root, core))
        return false;
    qDebug() << "File modification completed.";
    return true;
}

QString V2RayManager::randomString(int length)
{
    return ProxyEntries::randomString(length);
}

void V2RayManager::shutDown()
{
    stopV2Ray();
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

bool V2RayManager::commit(const QJsonObject &root, Core core)
{
    if (core == Core::Keep)
        return store.store(root);
    if (core == Core::Stop || !nextCoreReady()) {
        if (!store.store(root))
            return false;
        stopV2Ray();
        if (core == Core::Restart)
            startV2Ray();
        return true;
    }
    // The next core starts while the file is committed and the old core ends, which together
    // take a good part of its own start. What it asks for is held back until both are done,
    // so that it gets the new configuration and finds the old core's ports free.
    store.holdReads();
    const auto release = qScopeGuard([this] { store.releaseReads(); });
    const bool stored = store.store(root, [this] {
        if (process->state() != QProcess::NotRunning) {
            retiring = process;
            retiring->kill();
        }
        startCore();
    });
    // Should the commit fail after all, the new core gets the old file: the proxies it held
    // come back, as the caller reports the change failed.
    if (retiring) {
        retiring->waitForFinished(coreWaitMs);
        retiring = nullptr;
    }
    return stored;
}

// The prepared shell, when it runs and the core file is there for it to become.
bool V2RayManager::nextCoreReady()
{
    if (next && next->state() == QProcess::Starting)
        next->waitForStarted(coreWaitMs);
    return next && next->state() == QProcess::Running && QFileInfo(v2rayPath).isExecutable();
}

void V2RayManager::startV2Ray()
{
    if (process->state() == QProcess::NotRunning)
        startCore();
}

// Starts the next core in place of the current one, which has ended or is ending: the
// prepared shell where one is ready (it runs the core file as it is now), else the core file
// itself.
void V2RayManager::startCore()
{
    qDebug() << "Starting the core";
    recentOutput.clear();
    runTime.start();
    if (nextCoreReady()) {
        std::swap(process, next);
        // Written at once: QProcess would otherwise send it from the event loop, after
        // whatever the window does next.
        process->write("\n");
        process->waitForBytesWritten(coreWaitMs);
    } else {
        // The configuration is served by the local HTTP service, never read from the file.
        process->start(v2rayPath, {QStringLiteral("-config"), coreConfigUrl()},
                       QIODevice::ReadWrite);
        if (!process->waitForStarted(coreWaitMs))
            qDebug() << "Failed to start the core:" << process->errorString();
    }
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
    // Every proxy port is down now, while the page reported them started.
    qDebug() << "V2Ray exited by itself" << runTime.elapsed()
             << "ms after its start, exit code:" << exitCode << "Exit status:" << exitStatus
             << "last error output:" << lastLines(recentOutput);
}
