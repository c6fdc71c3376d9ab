#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

struct HttpRequestHead
{
    QByteArray requestLine; // empty when the head held no non-empty line
    QByteArray method;
    QByteArray target; // the request line's second word
    QList<QPair<QByteArray, QByteArray>> headers;

    // The first header of that name (case-insensitive), or a null array.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

struct HttpHeadParse
{
    enum Status { Incomplete, Ok, Bad };
    Status status = Incomplete;
    int consumed = 0; // bytes up to and including the blank line, when Ok
    HttpRequestHead head;
};

// Parses a request head from the bytes received so far, which may end anywhere. A head is
// complete at the first blank line; one larger than maxBytes is Bad.
HttpHeadParse parseHttpHead(const QByteArray &data, int maxBytes = 16 * 1024);
