#pragma once

#include "core/configstore.h"
#include "core/coreprocess.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>

// The proxy runtime: the entries of the core configuration and the core process that
// serves them. Every change of the entries is a read-modify-write of the stored file, which
// may bring the core onto the new configuration: the core fetches it from the local HTTP
// service.
class V2RayManager : public QObject
{
    Q_OBJECT

public:
    // What becomes of the core once a change is stored; a change that is refused or cannot
    // be written leaves it alone.
    enum class Core {
        Keep,
        Restart, // onto the stored configuration
        Stop,    // where the configuration could not be served to it
    };

    explicit V2RayManager(QObject *parent = nullptr);
    ~V2RayManager() override;

    // The local port of the added entry, or of the existing entry of that port whose outbound
    // was rewritten; 0 when nothing was written.
    quint16 addProxyEntry(QJsonObject request, Core core = Core::Keep);
    bool removeProxyEntry(int port, Core core = Core::Keep);
    QString randomString(int length);

    // Stops the core and stores the empty configuration: no proxy outlives a session.
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
    // The stored configuration, which the local HTTP service serves to the core.
    const ConfigStore *configStore() const { return &store; }

public slots:
    void readOutput();
    void readError();

private:
    CoreProcess *newCoreProcess();
    bool nextCoreReady();
    void startCore();
    bool commit(const QJsonObject &root, Core core);
    void processFinished(bool asked, int exitCode, QProcess::ExitStatus exitStatus);
    void keepOutput(const QByteArray &bytes);

    CoreProcess *process = nullptr;  // the current core, running or not
    CoreProcess *next = nullptr;     // waiting to become the next core
    CoreProcess *retiring = nullptr; // ended by a restart, not yet gone
    QString v2rayPath;
    QString configPath;
    ConfigStore store;
    bool stopping = false; // the client itself ends the core
    QElapsedTimer runTime;
    QByteArray recentOutput;
};
