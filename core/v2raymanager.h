#pragma once

#include "core/configstore.h"
#include "core/coreprocess.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>

// The proxy runtime: the entries of the core configuration and the core process that
// serves them. Every change of the entries is a read-modify-write of the stored file; the
// caller then restarts the core, which fetches the new configuration from the local HTTP
// service.
class V2RayManager : public QObject
{
    Q_OBJECT

public:
    explicit V2RayManager(QObject *parent = nullptr);
    ~V2RayManager() override;

    // The local port of the added entry, or of the existing entry of that port whose outbound
    // was rewritten; 0 when nothing was written.
    quint16 addProxyEntry(QJsonObject request);
    bool removeProxyEntry(int port);
    QString randomString(int length);

    // Stops the core and stores the empty configuration: no proxy outlives a session.
    void shutDown();
    bool resetConfig();
    QByteArray readConfig();

    void startV2Ray();
    void stopV2Ray();
    qint64 coreProcessId() const { return process->processId(); }
    // The stored configuration, which the local HTTP service serves to the core.
    const ConfigStore *configStore() const { return &store; }

public slots:
    void readOutput();
    void readError();
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    CoreProcess *newCoreProcess();
    // Forks the next core's process ahead of its start, where the platform allows.
    void prepareNextCore();
    void keepOutput(const QByteArray &bytes);

    CoreProcess *process = nullptr; // the current core, running or not
    CoreProcess *next = nullptr;    // waiting to become the next core
    QString v2rayPath;
    QString configPath;
    ConfigStore store;
    bool stopping = false; // the client itself ends the core
    QElapsedTimer runTime;
    QByteArray recentOutput;
};
