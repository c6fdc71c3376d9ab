#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// The head of a request an HTTP proxy receives, read from bytes that may stop anywhere.
namespace HttpHead {

// The gateway holds the whole head before it answers, so a larger one is refused.
constexpr int MaxSize = 16 * 1024;

enum class Status { Incomplete, Ok, Bad };

struct Request
{
    QByteArray method;
    QByteArray target;
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> fields;

    // The first field of that name, compared without case; empty when there is none.
    QByteArray field(const QByteArray &name) const;
};

struct ParseResult
{
    Status status = Status::Incomplete;
    int consumed = 0; // length of the head including its blank line, when Ok
    Request request;
    QString error; // when Bad
};

ParseResult parse(const QByteArray &data);

struct Target
{
    QString host; // without the brackets of an IPv6 literal
    quint16 port = 0;
    QByteArray originForm; // "/path?query", for requests other than CONNECT
};

// CONNECT's "host:port" or "[v6]:port".
std::optional<Target> authorityTarget(const QByteArray &target);
// "http://host[:port][/path]", the absolute form a proxy gets for plain HTTP.
std::optional<Target> absoluteTarget(const QByteArray &target);

struct BasicCredentials
{
    QString user;
    QString password;
};

// From a Proxy-Authorization value "Basic base64(user:password)".
std::optional<BasicCredentials> basicCredentials(const QByteArray &value);

// The request as the origin server gets it: origin form, without the proxy's own fields.
QByteArray originRequest(const Request &request, const Target &target);

QByteArray errorResponse(int code, const QByteArray &reason, const QString &message,
                         const QByteArray &extraFields = QByteArray());

} // namespace HttpHead
