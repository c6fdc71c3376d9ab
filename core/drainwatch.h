#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>

// How many client connections a core still carries on the ports it served before its
// inbounds went to the next core: once none are left it can be ended without cutting anyone
// off. A connection is the core's when one of its socket descriptors names the connection's
// inode, and a client's when its local port is one of the former inbound ports.
namespace DrainWatch {

// The inodes of the sockets among a process's descriptor link targets ("socket:[12345]").
QSet<quint64> socketInodes(const QStringList &linkTargets);

// The rows of one /proc/net/tcp or /proc/net/tcp6 text that belong to one of `inodes`, have
// a local port in `ports` and a state in which the connection can still carry data.
// Rows that cannot be read are skipped.
int clientConnections(const QByteArray &procNetTcp, const QSet<quint64> &inodes,
                      const QSet<quint16> &ports);

// The client connections of process `pid` on `ports`, over IPv4 and IPv6; -1 when that
// cannot be told: not on Linux, no such process, or its descriptors cannot be read.
int connectionsOf(qint64 pid, const QSet<quint16> &ports);

// The same for several processes at once, by process id, reading the tables once.
struct Core
{
    qint64 pid;
    QSet<quint16> ports;
};
QHash<qint64, int> connectionsOf(const QList<Core> &cores);

} // namespace DrainWatch
