#pragma once

#include <QProcess>

// The core's process. The core must never outlive the client, even one killed with
// SIGKILL, or it would keep the local ports and the upstream credentials in use: on Linux
// the child asks the kernel for SIGKILL when its parent dies; on Windows it is put into a
// job object that kills it when the client's handle closes. On Linux it also takes none of
// the client's descriptors beyond its standard streams.
class CoreProcess : public QProcess
{
    Q_OBJECT

public:
    explicit CoreProcess(QObject *parent = nullptr);
    ~CoreProcess() override;

protected:
#ifdef Q_OS_UNIX
    void setupChildProcess() override;
#endif

private:
#ifdef Q_OS_WIN
    void assignToJob();
    void *m_job = nullptr;
#endif
};
