#include "coreprocess.h"

#ifdef Q_OS_LINUX
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

    // The child has a copy of every descriptor of the client: the listening socket of the
    // configuration service, its connections, the quit-signal pair and whatever the libraries
    // opened. The core would keep a port the client closes, and a connection it ends, open.
    // They are marked close-on-exec rather than closed: QProcess learns of a failed exec
    // through one of them.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) { // before Linux 5.11
        struct rlimit limit = {1024, 1024};
        getrlimit(RLIMIT_NOFILE, &limit);
        for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd)
            fcntl(int(fd), F_SETFD, FD_CLOEXEC); // FD_CLOEXEC is the only descriptor flag
    }
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
