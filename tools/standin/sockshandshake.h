#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The messages a SOCKS5 client sends before its data (RFC 1928, with the username/password
// login of RFC 1929), read from bytes that may stop anywhere.
namespace SocksHandshake {

enum class Status { Incomplete, Ok, Bad };

constexpr quint8 Version = 0x05;
constexpr quint8 LoginVersion = 0x01;
constexpr quint8 MethodLogin = 0x02;
constexpr quint8 NoAcceptableMethod = 0xff;
constexpr quint8 CommandConnect = 0x01;
constexpr quint8 LoginSucceeded = 0x00;
constexpr quint8 LoginFailed = 0x01;

enum Reply : quint8 {
    Succeeded = 0x00,
    GeneralFailure = 0x01,
    NetworkUnreachable = 0x03,
    HostUnreachable = 0x04,
    ConnectionRefused = 0x05,
    CommandNotSupported = 0x07,
    AddressTypeNotSupported = 0x08,
};

struct Greeting
{
    Status status = Status::Incomplete;
    int consumed = 0;
    QByteArray methods;
};

struct Login
{
    Status status = Status::Incomplete;
    int consumed = 0;
    QString user;
    QString password;
};

struct Request
{
    Status status = Status::Incomplete;
    int consumed = 0;
    quint8 command = 0;
    QString host; // an address in text form, or the domain name as sent
    quint16 port = 0;
    Reply failure = GeneralFailure; // the reply to send when Bad
};

Greeting parseGreeting(const QByteArray &data);
Login parseLogin(const QByteArray &data);
Request parseRequest(const QByteArray &data);

// A reply to a request; the bound address is the gateway's end of the target connection.
QByteArray reply(Reply code, const QHostAddress &bound = QHostAddress(), quint16 boundPort = 0);
Reply replyFor(QAbstractSocket::SocketError error);

} // namespace SocksHandshake
