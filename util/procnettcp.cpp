#include "procnettcp.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ProcNetTcp {

Rows::Rows(const QByteArray &table)
    : at(table.constData())
    , end(table.constData() + table.size())
{}

bool Rows::next(QLatin1String (&fields)[rowFields])
{
    while (at < end) {
        const char *eol = static_cast<const char *>(memchr(at, '\n', size_t(end - at)));
        if (!eol)
            eol = end;
        int found = 0;
        for (const char *c = at; found < rowFields;) {
            while (c < eol && std::isspace(static_cast<unsigned char>(*c)))
                ++c;
            if (c == eol)
                break;
            const char *start = c;
            while (c < eol && !std::isspace(static_cast<unsigned char>(*c)))
                ++c;
            fields[found++] = QLatin1String(start, int(c - start));
        }
        at = eol + 1;
        if (found == rowFields && fields[Slot].endsWith(QLatin1Char(':')))
            return true;
    }
    return false;
}

namespace {

// The kernel prints each 32-bit word of an address as the number it is in memory, so the
// bytes in network order come out swapped on a little-endian machine.
QByteArray words(const quint8 *bytes, int count, quint16 port)
{
    QByteArray key;
    for (int i = 0; i < count; i += 4) {
        quint32 word;
        memcpy(&word, bytes + i, 4);
        key += QByteArray::number(word, 16).toUpper().rightJustified(8, '0');
    }
    return key + ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
}

} // namespace

QByteArray addressKey(const QHostAddress &address, quint16 port)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (!isIPv4)
        return address.protocol() == QAbstractSocket::IPv6Protocol ? addressKey6(address, port)
                                                                   : QByteArray();
    const quint8 bytes[4] = {quint8(ipv4 >> 24), quint8(ipv4 >> 16), quint8(ipv4 >> 8),
                             quint8(ipv4)};
    return words(bytes, 4, port);
}

QByteArray addressKey6(const QHostAddress &address, quint16 port)
{
    if (address.isNull())
        return QByteArray();
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    return words(ipv6.c, 16, port);
}

qint64 uidOf(const QByteArray &table, const QByteArray &localKey, const QByteArray &remoteKey)
{
    if (localKey.isEmpty() || remoteKey.isEmpty())
        return -1;
    Rows rows(table);
    QLatin1String fields[rowFields];
    while (rows.next(fields)) {
        if (fields[Local] != QLatin1String(localKey) || fields[Remote] != QLatin1String(remoteKey))
            continue;
        bool ok = false;
        const qint64 uid = bytes(fields[Uid]).toLongLong(&ok, 10);
        return ok && uid >= 0 ? uid : -1;
    }
    return -1;
}

#ifdef Q_OS_LINUX
// /proc files report no size; a netns with an absurd number of sockets is not read short
// but answered with an error.
constexpr qint64 maxTable = 64 * 1024 * 1024;
#endif

int read(const QByteArray &path, QByteArray *text)
{
#ifdef Q_OS_LINUX
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    text->clear();
    char buffer[65536];
    ssize_t got;
    int error = 0;
    while (error == 0 && (got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0)
            error = errno == EINTR ? 0 : errno;
        else if (text->size() + got > maxTable)
            error = EFBIG;
        else
            text->append(buffer, int(got));
    }
    close(fd);
    return error;
#else
    Q_UNUSED(path);
    Q_UNUSED(text);
    return ENOSYS;
#endif
}

qint64 peerUid(const QHostAddress &peer, quint16 peerPort, const QHostAddress &service,
               quint16 servicePort)
{
#ifdef Q_OS_LINUX
    // Each read walks the kernel's whole connection hash, so the table the peer's socket is
    // most likely in is read first: an IPv4 socket for an IPv4 (or mapped) address.
    QByteArray table;
    bool isIPv4 = false;
    peer.toIPv4Address(&isIPv4);
    if (isIPv4 && read("/proc/self/net/tcp", &table) == 0) {
        const qint64 uid =
            uidOf(table, addressKey(peer, peerPort), addressKey(service, servicePort));
        if (uid >= 0)
            return uid;
    }
    if (read("/proc/self/net/tcp6", &table) == 0)
        return uidOf(table, addressKey6(peer, peerPort), addressKey6(service, servicePort));
#else
    Q_UNUSED(peer);
    Q_UNUSED(peerPort);
    Q_UNUSED(service);
    Q_UNUSED(servicePort);
#endif
    return -1;
}

} // namespace ProcNetTcp
