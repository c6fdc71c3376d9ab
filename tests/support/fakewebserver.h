#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
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
    struct Request
    {
        QByteArray method;
        QByteArray target; // as sent, query included
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray &name) const; // case-insensitive, null when absent
    };

    // Listens on 127.0.0.1, on an ephemeral port unless one is given.
    explicit FakeWebServer(QObject *parent = nullptr, quint16 port = 0);
    void setResponse(const QByteArray &path, const Response &response); // path without query
    void setDefaultResponse(const Response &response);                  // for every other path
    // Answers CORS preflights and lets pages of any origin read every answer.
    void setCrossOrigin(bool allowed) { crossOrigin = allowed; }
    QString url(const QByteArray &path = QByteArray()) const; // "http://127.0.0.1:PORT" + path
    QList<Request> requests() const;

signals:
    void requestReceived(const FakeWebServer::Request &request);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void readClient(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);

    QHash<QByteArray, Response> responses;
    Response fallback{404, "text/plain", "Not Found", false, false, 0};
    bool crossOrigin = false;
    QList<Request> received;
    QHash<QTcpSocket *, QByteArray> buffers;
};

Q_DECLARE_METATYPE(FakeWebServer::Request)
