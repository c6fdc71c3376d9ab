#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>

class CoreProcess;
class QThread;
class QTimer;

// Cores that gave up their ports to a newer one and still carry their clients' connections.
// Each ends once it carries none on its former ports, after a limit at most, or when too many
// drain at once (those without connections first, then the oldest; a fourth drains for the
// moment that takes). While none drains, nothing is polled.
class DrainingCores : public QObject
{
    Q_OBJECT

public:
    static const int maxCores = 3;
    static const int maxAgeMs = 10 * 60 * 1000;

    explicit DrainingCores(QObject *parent = nullptr);
    ~DrainingCores() override;

    // Takes the core over; its output is read and dropped from now on.
    void retire(CoreProcess *core, const QSet<quint16> &ports);
    // Ends every draining core at once and waits for each.
    void endAll();

    int count() const { return m_cores.size(); }
    QList<qint64> processIds() const;
    void setPollInterval(int milliseconds);

private:
    struct Draining
    {
        CoreProcess *core;
        QSet<quint16> ports;
        QElapsedTimer age;
    };

    void poll();
    void settle(const QHash<qint64, int> &counts);
    void end(int index, const char *why);

    QList<Draining> m_cores;
    QTimer *m_poll;
    QThread *m_looking = nullptr;
    bool m_lookAgain = false;
};
