#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QLatin1String>

// The kernel's TCP socket tables, /proc/net/tcp and /proc/net/tcp6: one row per socket,
// "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
// inode ...", addresses as hex "address:port".
namespace ProcNetTcp {

constexpr int rowFields = 10;
enum Field { Slot, Local, Remote, State, Queues, Timer, Retransmits, Uid, Timeout, Inode };

// Walks a table's rows in place, skipping the heading and lines cut short.
class Rows
{
public:
    explicit Rows(const QByteArray &table);
    // The next row's first fields; false past the last row.
    bool next(QLatin1String (&fields)[rowFields]);

private:
    const char *at;
    const char *end;
};

// A field's bytes, not copied: valid while the table is.
inline QByteArray bytes(QLatin1String field)
{
    return QByteArray::fromRawData(field.data(), field.size());
}

// "address:port" as the table writes it for that address: IPv4 (IPv4-mapped included) in
// the tcp table's form, IPv6 in the tcp6 table's. Null for a null address.
QByteArray addressKey(const QHostAddress &address, quint16 port);
// The same address in the tcp6 table's form: an IPv4 address as IPv4-mapped IPv6.
QByteArray addressKey6(const QHostAddress &address, quint16 port);

// The owner's uid of the row with these local and remote ends; -1 where there is none.
qint64 uidOf(const QByteArray &table, const QByteArray &localKey, const QByteArray &remoteKey);

// 0, or the errno of the failed read of a /proc file (Linux only).
int read(const QByteArray &path, QByteArray *text);

// The uid of the process whose socket is the other end of a connection on this machine:
// `peer` is that socket's address, `service` ours. -1 where it cannot be told (not Linux,
// or the connection is gone).
qint64 peerUid(const QHostAddress &peer, quint16 peerPort, const QHostAddress &service,
               quint16 servicePort);

} // namespace ProcNetTcp
