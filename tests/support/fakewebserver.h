#pragma once

#include "http/httprequest.h"

#include <QHash>
#include <QList>
#include <QTcpServer>

class QTcpSocket;

// A website for tests: answers each HTTP/1.1 request with the response set for its path (404
// for any other path), one request per connection, and records what it received.
class FakeWebServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Response
    {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        bool stall = false;    // accept the request and never answer
        bool cutShort = false; // announce the whole body, send half of it and close
        int trickleMs = 0;     // send the body one byte at a time, this far apart
    };

    // Listens on 127.0.0.1, on an ephemeral port unless one is given.
    explicit FakeWebServer(QObject *parent = nullptr, quint16 port = 0);
    void setResponse(const QByteArray &path, const Response &response)
    {
        responses[path] = response;
    }
    QString url(const QByteArray &path = QByteArray()) const; // "http://127.0.0.1:PORT" + path
    QList<HttpRequestHead> requests() const { return received; }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void answer(QTcpSocket *socket, const HttpRequestHead &request);

    QHash<QByteArray, Response> responses; // by path without query
    QList<HttpRequestHead> received;
};
