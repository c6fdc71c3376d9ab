#pragma once

#include <QString>
#ifndef Q_OS_LINUX
#include <QSharedMemory>
#endif

// One running client per machine and key, whichever user runs it. The guard must end with
// its process however that ends, SIGKILL included, or a client killed once would keep every
// user of the machine from starting one. On Linux it is a Unix socket bound to a name in the
// abstract namespace: no file, the same name for every user (per network namespace, as a
// port is), freed by the kernel with the process. Elsewhere it is a shared-memory segment,
// which Windows frees with the last process attached.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &key);
    ~SingleInstance();
    Q_DISABLE_COPY(SingleInstance)

    // False while another live instance holds the key.
    bool tryAcquire();

private:
    QString m_key;
#ifdef Q_OS_LINUX
    int m_socket = -1;
#else
    QSharedMemory m_memory;
#endif
};
