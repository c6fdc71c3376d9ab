#pragma once

#include "core/configstore.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTcpServer>

#include <atomic>

class QTcpSocket;

// The HTTP responder on port 9584: it serves the deciphered core configuration to the core,
// answers other programs' requests for a proxy port (announcing each with sigIshttpProxy),
// and a test page. One request and one answer per connection; nothing here blocks. It may
// live in a thread of its own, so that a busy window does not keep the core waiting.
class HttpService : public QTcpServer
{
    Q_OBJECT

public:
    // Serves the configuration the store holds; the store must outlive the service's use.
    explicit HttpService(const ConfigStore *store, QObject *parent = nullptr);

    // Listens on every local address on the service's fixed port, unless it already does;
    // false, and logged, when another program holds the port. Callable from any thread.
    bool listenOnServicePort();

    QList<QPair<QString, QString>> parseQueryParams(const QString &target);

    // Whether a local-API request can be taken: only a signed-in index page fetches the
    // proxy. Set from the window's thread, read by the service's without waiting.
    enum class LocalApiState { SignedOut, PageLoading, Open };
    void setLocalApiState(LocalApiState state) { apiState.store(int(state)); }

    // How long a client may take to send its whole request head.
    void setHeaderTimeout(int milliseconds) { headerTimeoutMs = milliseconds; }
    // How long writing an answer may go without progress before the connection is dropped.
    void setWriteTimeout(int milliseconds) { writeTimeoutMs = milliseconds; }
    // How long a caller that asked to wait for its port is kept waiting at most.
    void setStartWaitTimeout(int milliseconds) { startWaitTimeoutMs = milliseconds; }

public slots:
    // A start's end, for the callers waiting for that port.
    void settleStart(quint16 port, bool ok, const QString &reason);

signals:
    void sigIshttpProxy(QJsonObject strMsg);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void readClient();
    void processRequest(QByteArray requestData, QTcpSocket *clientSocket);

private:
    void answer(QTcpSocket *socket, const QByteArray &bytes);
    // The stored document; with the core's API on apiPort added, unless that is 0.
    QByteArray configBody(quint16 apiPort);
    // The local ports of the stored entries: the running core may hold them.
    QSet<quint16> ownPorts();
    static bool isFromThisMachine(const QTcpSocket *socket);
    // Whether the peer's socket belongs to the user the client runs as.
    static bool isSameUser(const QTcpSocket *socket);

    const ConfigStore *store;
    void awaitStart(QTcpSocket *socket, quint16 port);

    QHash<QTcpSocket *, QByteArray> received;
    QMultiHash<quint16, QTcpSocket *> waiting;
    int headerTimeoutMs = 10000;
    int writeTimeoutMs = 10000;
    int startWaitTimeoutMs = 30000;
    std::atomic<int> apiState{int(LocalApiState::SignedOut)};
};
