#pragma once

#include <QObject>

class QTcpSocket;

// Copies bytes both ways between a client and its target until either side closes; then it
// passes on what is left, closes the other side and deletes itself with both sockets.
class TcpRelay : public QObject
{
    Q_OBJECT

public:
    // Takes ownership of both sockets, which must be connected.
    TcpRelay(QTcpSocket *client, QTcpSocket *target, QObject *parent);

signals:
    void finished();

private:
    void pump(QTcpSocket *from, QTcpSocket *to);
    void closeAfter(QTcpSocket *closed, QTcpSocket *other);

    QTcpSocket *m_client;
    QTcpSocket *m_target;
    bool m_finished = false;
};
