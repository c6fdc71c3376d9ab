#include "drainwatch.h"

#include "util/procnettcp.h"

#include <QLatin1String>

#include <algorithm>
#include <cctype>
#include <cstring>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// The kernel's TCP states (include/net/tcp_states.h) in which an accepted socket the core
// still holds open can carry data one way or the other:
// - ESTABLISHED;
// - CLOSE_WAIT: the client has finished sending, but the core may still be relaying the
//   upstream's answer to it (a client that half-closes after its request);
// - FIN_WAIT1 and FIN_WAIT2 with the descriptor still open: the core has shut down its
//   sending side only, and the client may still be uploading;
// - SYN_RECV: a handshake still in the listener's queue has no inode and ends with the
//   listener, so a row of the core's own inode is one accepted early (TCP Fast Open).
// LISTEN is no connection; LAST_ACK, CLOSING and TIME_WAIT follow both ends' FIN and carry
// nothing more. A core that never closes a CLOSE_WAIT socket would keep counting it, which
// is why whoever waits for the count also needs a limit of its own.
bool carriesData(uint state)
{
    switch (state) {
    case 0x01: // ESTABLISHED
    case 0x03: // SYN_RECV
    case 0x04: // FIN_WAIT1
    case 0x05: // FIN_WAIT2
    case 0x08: // CLOSE_WAIT
        return true;
    default:
        return false;
    }
}

bool isHex(const QByteArray &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

#ifdef Q_OS_LINUX
// The link targets of a process's descriptors; false when its fd folder cannot be read,
// which for a core that is not dumpable is already the case for its own user.
bool descriptorTargets(qint64 pid, QStringList *targets)
{
    const QByteArray folder = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR *dir = opendir(folder.constData());
    if (!dir)
        return false;
    // Socket targets are short; a longer one is a file path and is of no interest.
    char target[64];
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const ssize_t length = readlinkat(dirfd(dir), entry->d_name, target, sizeof target);
        if (length > 0 && size_t(length) < sizeof target)
            targets->append(QString::fromLatin1(target, int(length)));
    }
    closedir(dir);
    return true;
}
#endif

} // namespace

namespace DrainWatch {

QSet<quint64> socketInodes(const QStringList &linkTargets)
{
    QSet<quint64> inodes;
    const QString prefix = QStringLiteral("socket:[");
    for (const QString &target : linkTargets) {
        if (!target.startsWith(prefix) || !target.endsWith(QLatin1Char(']')))
            continue;
        bool ok = false;
        const quint64 inode =
            target.midRef(prefix.size(), target.size() - prefix.size() - 1).toULongLong(&ok);
        if (ok && inode != 0)
            inodes.insert(inode);
    }
    return inodes;
}

int clientConnections(const QByteArray &procNetTcp, const QSet<quint64> &inodes,
                      const QSet<quint16> &ports)
{
    // Read in place: a busy machine's table has thousands of rows, nearly all of them other
    // sockets', and each is passed over at its inode.
    int count = 0;
    ProcNetTcp::Rows rows(procNetTcp);
    QLatin1String fields[ProcNetTcp::rowFields];
    while (rows.next(fields)) {
        bool inodeOk = false;
        const quint64 inode =
            ProcNetTcp::bytes(fields[ProcNetTcp::Inode]).toULongLong(&inodeOk, 10);
        if (!inodeOk || inode == 0 || !inodes.contains(inode))
            continue;
        const QByteArray local = ProcNetTcp::bytes(fields[ProcNetTcp::Local]);
        const int colon = local.indexOf(':');
        const QByteArray address = local.left(colon);
        if (colon < 0 || (address.size() != 8 && address.size() != 32) || !isHex(address))
            continue;
        bool portOk = false, stateOk = false;
        const QByteArray portText = local.mid(colon + 1);
        const quint16 port = portText.toUShort(&portOk, 16);
        const uint state = ProcNetTcp::bytes(fields[ProcNetTcp::State]).toUInt(&stateOk, 16);
        if (portOk && portText.size() == 4 && stateOk && ports.contains(port) && carriesData(state))
            ++count;
    }
    return count;
}

QHash<qint64, int> connectionsOf(const QList<Core> &cores)
{
    QHash<qint64, int> counts;
    for (const Core &core : cores)
        counts.insert(core.pid, -1);
#ifdef Q_OS_LINUX
    // The tables are the network namespace's, the same for every core; each read walks the
    // kernel's whole connection hash, which takes milliseconds however few sockets there are.
    QByteArray tables[2];
    if (ProcNetTcp::read("/proc/self/net/tcp", &tables[0]) != 0)
        return counts;
    // A kernel without IPv6 has no tcp6 table at all.
    const int error = ProcNetTcp::read("/proc/self/net/tcp6", &tables[1]);
    if (error != 0 && error != ENOENT)
        return counts;
    for (const Core &core : cores) {
        QStringList targets;
        if (core.pid <= 0 || !descriptorTargets(core.pid, &targets))
            continue;
        const QSet<quint64> inodes = socketInodes(targets);
        counts.insert(core.pid, clientConnections(tables[0], inodes, core.ports) +
                                    clientConnections(tables[1], inodes, core.ports));
    }
#endif
    return counts;
}

int connectionsOf(qint64 pid, const QSet<quint16> &ports)
{
    return connectionsOf(QList<Core>{{pid, ports}}).value(pid, -1);
}

} // namespace DrainWatch
