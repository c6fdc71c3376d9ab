#include "v2raymanager.h"

#include "core/proxyentries.h"
#include "util/commconutils.h"

#include <QDebug>
#include <QDir>

namespace {

#ifdef Q_OS_WIN
const QString corePath = QStringLiteral("run/corvane.exe");
#else
const QString corePath = QStringLiteral("run/corvane");
#endif

// The core's configuration is served by the local HTTP service, never read from the file.
const QStringList coreArguments{QStringLiteral("-config"),
                                QStringLiteral("http://127.0.0.1:9584/xray_config.json")};

const int coreWaitMs = 30000;

} // namespace

V2RayManager::V2RayManager(QObject *parent)
    : QObject(parent)
    , configPath(QDir(QDir::currentPath()).filePath(QStringLiteral("run/config.json")))
    , store(configPath)
{
    connect(&process, &QProcess::readyReadStandardOutput, this, &V2RayManager::readOutput);
    connect(&process, &QProcess::readyReadStandardError, this, &V2RayManager::readError);
    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &V2RayManager::processFinished);
    v2rayPath = QDir(QDir::currentPath()).filePath(corePath);
    qDebug() << "v2rayPath:" << v2rayPath;
    qDebug() << "configPath:" << configPath;
}

V2RayManager::~V2RayManager()
{
    stopV2Ray();
}

quint16 V2RayManager::addProxyEntry(QJsonObject request)
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
        return store.store(root) ? local.port : 0;

    const quint16 port = local.present ? local.port
                                       : ProxyEntries::choosePort(ProxyEntries::usedPorts(root),
                                                                  CommconUtils::getUnusedPort);
    if (port == 0) {
        qDebug() << "Proxy entry refused:"
                 << "no free local port";
        return 0;
    }
    ProxyEntries::appendEntry(root, port, checked.object, request);
    if (!store.store(root))
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

bool V2RayManager::resetConfig()
{
    return store.storePlain(ProxyEntries::templateText());
}

QByteArray V2RayManager::readConfig()
{
    return store.readPlain();
}

void V2RayManager::startV2Ray()
{
    process.start(v2rayPath, coreArguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(coreWaitMs))
        qDebug() << "Failed to start the core:" << process.errorString();
}

void V2RayManager::stopV2Ray()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(coreWaitMs);
}

void V2RayManager::readOutput()
{
    qDebug() << "V2Ray Output:" << process.readAllStandardOutput();
}

void V2RayManager::readError()
{
    qDebug() << "V2Ray Error:" << process.readAllStandardError();
}

void V2RayManager::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    qDebug() << "V2Ray process finished with exit code:" << exitCode
             << "Exit status:" << exitStatus;
}
