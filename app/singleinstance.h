#pragma once

#include <QSharedMemory>
#include <QString>

// One running client per key. On Linux a shared-memory segment survives a process killed
// with SIGKILL; such a stale segment is cleared so that the client starts after a crash.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &key);

    // False while another live instance holds the key.
    bool tryAcquire();

private:
    QString m_key;
    QSharedMemory m_memory;
};
