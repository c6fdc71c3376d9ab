#include "sockshandshake.h"

#include <QtEndian>

namespace SocksHandshake {

namespace {

quint8 byteAt(const QByteArray &data, int index)
{
    return quint8(data.at(index));
}

} // namespace

Greeting parseGreeting(const QByteArray &data)
{
    Greeting greeting;
    if (data.isEmpty())
        return greeting;
    if (byteAt(data, 0) != Version) {
        greeting.status = Status::Bad;
        return greeting;
    }
    if (data.size() < 2 || data.size() < 2 + byteAt(data, 1))
        return greeting;
    greeting.status = Status::Ok;
    greeting.methods = data.mid(2, byteAt(data, 1));
    greeting.consumed = 2 + greeting.methods.size();
    return greeting;
}

Login parseLogin(const QByteArray &data)
{
    Login login;
    if (data.isEmpty())
        return login;
    if (byteAt(data, 0) != LoginVersion) {
        login.status = Status::Bad;
        return login;
    }
    if (data.size() < 2)
        return login;
    const int userLength = byteAt(data, 1);
    if (data.size() < 3 + userLength)
        return login;
    const int passwordLength = byteAt(data, 2 + userLength);
    if (data.size() < 3 + userLength + passwordLength)
        return login;
    login.status = Status::Ok;
    login.user = QString::fromUtf8(data.mid(2, userLength));
    login.password = QString::fromUtf8(data.mid(3 + userLength, passwordLength));
    login.consumed = 3 + userLength + passwordLength;
    return login;
}

Request parseRequest(const QByteArray &data)
{
    Request request;
    if (data.isEmpty())
        return request;
    if (byteAt(data, 0) != Version) {
        request.status = Status::Bad;
        return request;
    }
    if (data.size() < 4)
        return request;
    request.command = byteAt(data, 1);

    int addressLength = 0;
    switch (byteAt(data, 3)) {
    case 0x01:
        addressLength = 4;
        break;
    case 0x04:
        addressLength = 16;
        break;
    case 0x03:
        if (data.size() < 5)
            return request;
        if (byteAt(data, 4) == 0) {
            request.status = Status::Bad;
            request.failure = HostUnreachable;
            return request;
        }
        addressLength = 1 + byteAt(data, 4);
        break;
    default:
        request.status = Status::Bad;
        request.failure = AddressTypeNotSupported;
        return request;
    }
    if (data.size() < 4 + addressLength + 2)
        return request;

    const auto *address = reinterpret_cast<const uchar *>(data.constData()) + 4;
    switch (byteAt(data, 3)) {
    case 0x01:
        request.host = QHostAddress(qFromBigEndian<quint32>(address)).toString();
        break;
    case 0x04:
        request.host = QHostAddress(address).toString();
        break;
    default:
        request.host = QString::fromUtf8(data.mid(5, addressLength - 1));
    }
    request.port = qFromBigEndian<quint16>(address + addressLength);
    request.status = Status::Ok;
    request.consumed = 4 + addressLength + 2;
    return request;
}

QByteArray reply(Reply code, const QHostAddress &bound, quint16 boundPort)
{
    QByteArray message;
    message.append(char(Version)).append(char(code)).append('\0');
    if (bound.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR address = bound.toIPv6Address();
        message.append('\x04').append(reinterpret_cast<const char *>(address.c), 16);
    } else {
        uchar address[4];
        qToBigEndian<quint32>(bound.toIPv4Address(), address);
        message.append('\x01').append(reinterpret_cast<const char *>(address), 4);
    }
    uchar port[2];
    qToBigEndian<quint16>(boundPort, port);
    return message.append(reinterpret_cast<const char *>(port), 2);
}

Reply replyFor(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::SocketTimeoutError:
        return HostUnreachable;
    case QAbstractSocket::NetworkError:
        return NetworkUnreachable;
    default:
        return GeneralFailure;
    }
}

} // namespace SocksHandshake
