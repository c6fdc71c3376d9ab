#include "singleinstance.h"

#ifdef Q_OS_LINUX

#include <QCryptographicHash>
#include <QDebug>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

SingleInstance::SingleInstance(const QString &key)
    : m_key(key)
{}

SingleInstance::~SingleInstance()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

bool SingleInstance::tryAcquire()
{
    if (m_socket >= 0)
        return true;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the name is abstract. A key too long for the address is hashed.
    QByteArray name = "vexalo." + m_key.toUtf8();
    if (name.size() >= int(sizeof(address.sun_path)))
        name = "vexalo." +
               QCryptographicHash::hash(m_key.toUtf8(), QCryptographicHash::Sha256).toHex();
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));

    // Close-on-exec: a core or any other child must not keep the client's guard.
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket >= 0 && ::bind(socket, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        m_socket = socket;
        return true;
    }
    const int error = errno;
    if (socket >= 0)
        ::close(socket);
    if (error == EADDRINUSE)
        return false;
    // The guard itself failing is no sign of another client: refusing to start would lock
    // the user out with a false reason.
    qWarning() << "Single-instance guard not taken:" << std::strerror(error);
    return true;
}

#else

SingleInstance::SingleInstance(const QString &key)
    : m_key(key)
    , m_memory(key)
{}

SingleInstance::~SingleInstance() = default;

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

#endif
