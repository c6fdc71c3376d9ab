#pragma once

#include "core/configstore.h"
#include "core/coreprocess.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>

#include <functional>

class CoreApiClient;
class DrainingCores;
class QTimer;

// The proxy runtime: the entries of the core configuration and the core process that
// serves them. Every change of the entries is a read-modify-write of the stored file. A
// change the user asks for is answered once it is seen to work: the port of a start accepts
// connections, the port of a removal refuses them. The running core hands its ports over to
// the next one through its API and keeps carrying its clients' connections until they end;
// the core fetches its configuration from the local HTTP service.
class V2RayManager : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        bool ok = false;
        quint16 port = 0;
        QString reason; // why it failed
    };
    using Done = std::function<void(const Outcome &)>;

    explicit V2RayManager(QObject *parent = nullptr);
    ~V2RayManager() override;

    // While a reason is set, every start is refused with it at once: nothing is written and
    // no core runs. An empty reason lets starts through again.
    void refuseStarts(const QString &reason) { startRefusal = reason; }

    // Edits of the stored configuration alone; the core is left as it is. The local port of
    // the added entry, or of the existing entry of that port whose outbound was rewritten; 0
    // when nothing was written.
    quint16 addProxyEntry(QJsonObject request);
    bool removeProxyEntry(int port);
    QString randomString(int length);

    // A start (added or rewritten entry) or a removal that the core is brought onto. Changes
    // that arrive while one is under way are made together, next. done runs once, from the
    // event loop or at once for a change refused before anything was written; not at all
    // for a change cancelled by shutDown().
    void requestStart(const QJsonObject &request, Done done);
    void requestRemoval(int port, Done done);
    // Asked before a start is written: false refuses it, where the core could not be served
    // its configuration.
    void setServiceCheck(std::function<bool()> check) { serviceCheck = std::move(check); }

    // Ends every core at once, draining ones too, cancels the change under way, and stores
    // the empty configuration: no proxy outlives a session.
    void shutDown();
    bool resetConfig();
    QByteArray readConfig();

    void startV2Ray();
    void stopV2Ray();
    // Forks the next core's process ahead of its start, where the platform allows. Every
    // start prepares the one after it; the first is the owner's to ask for, once start-up
    // is done, since a fork then would hold it up.
    void prepareNextCore();
    qint64 coreProcessId() const { return process->processId(); }
    QList<qint64> drainingProcessIds() const;
    // The stored configuration, which the local HTTP service serves to the core.
    const ConfigStore *configStore() const { return &store; }

signals:
    // Every start's end: its port relays (ok), or it was refused or failed.
    void startSettled(quint16 port, bool ok, const QString &reason);

public slots:
    void readOutput();
    void readError();

private:
    struct Change
    {
        bool start = false;
        QJsonObject request;
        int port = 0;
        Done done;
    };
    struct Batch;

    CoreProcess *newCoreProcess();
    bool nextCoreReady();
    void startCore();
    void runChanges();
    void handOver();
    void launch(bool handedOver);
    void holdReads();
    void releaseReads();
    void dropBatch();
    void awaitPorts();
    void restorePrevious(const QString &reason);
    void removeOnRunningCore();
    void restartFor(const QSet<quint16> &gone);
    void finishBatch(bool ok, const QString &reason = QString());
    bool cancelled(quint64 generation) const { return generation != changeGeneration; }
    bool coreRunning() const { return process->state() != QProcess::NotRunning; }
    quint16 applyStart(QJsonObject &root, const QJsonObject &request, QString *error);
    void processFinished(bool asked, int exitCode, QProcess::ExitStatus exitStatus);
    void keepOutput(const QByteArray &bytes);

    CoreProcess *process = nullptr; // the current core, running or not
    CoreProcess *next = nullptr;    // waiting to become the next core
    DrainingCores *draining;
    CoreApiClient *coreApi;
    QString v2rayPath;
    QString configPath;
    QString runnablePath; // what is executed: the core file, or a copy of it
    QString startRefusal;
    ConfigStore store;
    std::function<bool()> serviceCheck;
    // The current core's API port (0: it has none) and the inbounds it still serves.
    quint16 apiPort = 0;
    QSet<quint16> servedPorts;

    QList<Change> pending;
    Batch *batch = nullptr;
    quint64 changeGeneration = 0;
    QTimer *portWatch;
    bool readsHeld = false;

    bool stopping = false; // the client itself ends the core
    QElapsedTimer runTime;
    QByteArray recentOutput;
};
