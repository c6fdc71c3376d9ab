#include "coreprocess.h"

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#endif

CoreProcess::CoreProcess(QObject *parent)
    : QProcess(parent)
{
#ifdef Q_OS_WIN
    m_job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    connect(this, &QProcess::started, this, &CoreProcess::assignToJob);
#endif
}

CoreProcess::~CoreProcess()
{
#ifdef Q_OS_WIN
    if (m_job)
        CloseHandle(m_job);
#endif
}

#ifdef Q_OS_UNIX
void CoreProcess::setupChildProcess()
{
#ifdef Q_OS_LINUX
    // Runs in the child between fork and exec: only async-signal-safe calls.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) // the client died before the request took effect
        _exit(1);
#endif
}
#endif

#ifdef Q_OS_WIN
void CoreProcess::assignToJob()
{
    if (m_job)
        AssignProcessToJobObject(m_job, reinterpret_cast<HANDLE>(pid()->hProcess));
}
#endif
