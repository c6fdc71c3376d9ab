#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>

// A local target for requests sent through a proxy: answers every connection with a fixed
// HTTP response whose body names the target's port, then closes.
class TargetServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TargetServer(QObject *parent = nullptr);
    QByteArray body() const { return bodyFor(serverPort()); }
    static QByteArray bodyFor(quint16 port);

protected:
    void incomingConnection(qintptr descriptor) override;
};

// One HTTP request to the TargetServer on targetPort through the SOCKS5 port of the core,
// answered from the event loop. The response, or an empty array when nothing came back in
// time.
QByteArray fetchThroughSocks(quint16 socksPort, quint16 targetPort, int timeoutMs = 3000);

// Repeats fetchThroughSocks until the target's body comes back (the core may still be
// starting) or the time runs out.
bool waitUntilRelays(quint16 socksPort, const TargetServer &target, int timeoutMs = 20000);

// Sends back whatever a connection sends, for as long as it stays open.
class EchoServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit EchoServer(QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;
};

// A connection held open through a SOCKS5 port of the core to a target on this machine, as a
// download or a browser's keep-alive connection would be.
class HeldConnection
{
public:
    HeldConnection(quint16 socksPort, quint16 targetPort);
    // The proxy accepted the connection to the target.
    bool isOpen() const { return m_open; }
    // A line sent through comes back from the echo target.
    bool echoes(int timeoutMs = 3000);
    void close() { m_socket.abort(); }

private:
    QTcpSocket m_socket;
    bool m_open = false;
    int m_sent = 0;
};
