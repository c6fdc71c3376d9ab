#include "tcprelay.h"

#include <QTcpSocket>

namespace {

// A side that reads faster than the other writes is held back once this much waits, so a
// fast sender cannot make the gateway buffer without end.
constexpr qint64 BufferLimit = 256 * 1024;

} // namespace

TcpRelay::TcpRelay(QTcpSocket *client, QTcpSocket *target, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_target(target)
{
    for (QTcpSocket *socket : {client, target}) {
        socket->setParent(this);
        socket->setReadBufferSize(BufferLimit);
    }
    connect(client, &QTcpSocket::readyRead, this, [this] { pump(m_client, m_target); });
    connect(target, &QTcpSocket::readyRead, this, [this] { pump(m_target, m_client); });
    connect(client, &QTcpSocket::bytesWritten, this, [this] { pump(m_target, m_client); });
    connect(target, &QTcpSocket::bytesWritten, this, [this] { pump(m_client, m_target); });
    connect(client, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            closeAfter(m_client, m_target);
    });
    connect(target, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            closeAfter(m_target, m_client);
    });

    // Bytes that came before the relay existed have had their readyRead already.
    pump(client, target);
    pump(target, client);
    if (client->state() == QAbstractSocket::UnconnectedState)
        closeAfter(client, target);
    else if (target->state() == QAbstractSocket::UnconnectedState)
        closeAfter(target, client);
}

void TcpRelay::pump(QTcpSocket *from, QTcpSocket *to)
{
    if (to->state() != QAbstractSocket::ConnectedState)
        return;
    while (from->bytesAvailable() > 0 && to->bytesToWrite() < BufferLimit)
        to->write(from->read(BufferLimit));
}

void TcpRelay::closeAfter(QTcpSocket *closed, QTcpSocket *other)
{
    if (other->state() == QAbstractSocket::ConnectedState) {
        other->write(closed->readAll());
        other->disconnectFromHost();
    }
    const bool bothClosed = m_client->state() == QAbstractSocket::UnconnectedState &&
                            m_target->state() == QAbstractSocket::UnconnectedState;
    if (bothClosed && !m_finished) {
        m_finished = true;
        emit finished();
        deleteLater();
    }
}
