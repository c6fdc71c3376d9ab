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
        bool stall = false; // accept the request and never answer
    };
    struct Request
    {
        QByteArray method;
        QByteArray target; // as sent, query included
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray &name) const; // case-insensitive, null when absent
    };

    explicit FakeWebServer(QObject *parent = nullptr); // listens on 127.0.0.1, ephemeral port
    void setResponse(const QByteArray &path, const Response &response); // path without query
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
    QList<Request> received;
    QHash<QTcpSocket *, QByteArray> buffers;
};

Q_DECLARE_METATYPE(FakeWebServer::Request)
