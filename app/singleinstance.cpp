#include "singleinstance.h"

SingleInstance::SingleInstance(const QString &key)
    : m_key(key)
    , m_memory(key)
{}

bool SingleInstance::tryAcquire()
{
    {
        // A live instance stays attached to its segment; a crashed one left it with no
        // attachment. Qt removes a System V segment on the detach that leaves none attached,
        // so attaching and detaching again clears only a stale segment.
        QSharedMemory probe(m_key);
        if (probe.attach())
            probe.detach();
    }
    return m_memory.create(1, QSharedMemory::ReadWrite);
}
