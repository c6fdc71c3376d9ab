#include "drainingcores.h"

#include "core/coreprocess.h"
#include "core/drainwatch.h"

#include <QDebug>
#include <QHash>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

const int pollIntervalMs = 1000;
const int endWaitMs = 5000;

} // namespace

DrainingCores::DrainingCores(QObject *parent)
    : QObject(parent)
    , m_poll(new QTimer(this))
{
    m_poll->setInterval(pollIntervalMs);
    connect(m_poll, &QTimer::timeout, this, &DrainingCores::poll);
}

DrainingCores::~DrainingCores()
{
    endAll();
}

void DrainingCores::retire(CoreProcess *core, const QSet<quint16> &ports)
{
    core->setParent(this);
    // A draining core's log says nothing the user needs, and QProcess would buffer it
    // without end. The pipes stay open: the core would die of a write to a closed one.
    const auto drop = [core] {
        core->readAllStandardOutput();
        core->readAllStandardError();
    };
    drop();
    connect(core, &QProcess::readyReadStandardOutput, this, drop);
    connect(core, &QProcess::readyReadStandardError, this, drop);
    connect(core, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, core] {
                for (int i = 0; i < m_cores.size(); ++i) {
                    if (m_cores.at(i).core == core) {
                        m_cores.removeAt(i);
                        break;
                    }
                }
                core->deleteLater();
                if (m_cores.isEmpty())
                    m_poll->stop();
            });
    Draining draining{core, ports, {}};
    draining.age.start();
    m_cores.append(draining);
    // One too many: the cores that no longer carry connections are ended first, once the
    // look at them is in, and the oldest of the others after them.
    if (m_cores.size() > maxCores)
        poll();
    if (!m_poll->isActive())
        m_poll->start();
}

void DrainingCores::endAll()
{
    m_poll->stop();
    if (m_looking) {
        m_looking->wait();
        delete m_looking;
        m_looking = nullptr;
    }
    const QList<Draining> cores = m_cores;
    m_cores.clear();
    for (const Draining &draining : cores) {
        draining.core->kill();
        draining.core->waitForFinished(endWaitMs);
    }
}

QList<qint64> DrainingCores::processIds() const
{
    QList<qint64> ids;
    for (const Draining &draining : m_cores)
        ids.append(draining.core->processId());
    return ids;
}

void DrainingCores::setPollInterval(int milliseconds)
{
    m_poll->setInterval(milliseconds);
}

// Reading the kernel's connection tables takes milliseconds, which the window's thread does
// not wait for: the look is taken on a thread of its own, and its result applied here.
void DrainingCores::poll()
{
    if (m_looking) {
        m_lookAgain = true;
        return;
    }
    QList<DrainWatch::Core> cores;
    for (const Draining &draining : qAsConst(m_cores))
        cores.append({draining.core->processId(), draining.ports});
    auto counts = std::make_shared<QHash<qint64, int>>();
    m_looking = QThread::create([cores, counts] { *counts = DrainWatch::connectionsOf(cores); });
    connect(m_looking, &QThread::finished, this, [this, counts] {
        if (QThread *looking = std::exchange(m_looking, nullptr)) {
            looking->wait(); // finished is sent just before the thread ends
            delete looking;
        }
        settle(*counts);
        if (std::exchange(m_lookAgain, false))
            poll();
    });
    m_looking->start();
}

void DrainingCores::settle(const QHash<qint64, int> &counts)
{
    for (int i = m_cores.size() - 1; i >= 0; --i) {
        const Draining &draining = m_cores.at(i);
        if (draining.age.hasExpired(maxAgeMs))
            end(i, "drained for too long");
        // -1, cannot tell: the core keeps its connections until the age limit. A core that
        // retired after the look began is not in it.
        else if (counts.value(draining.core->processId(), -1) == 0)
            end(i, "no connections left");
    }
    while (m_cores.size() > maxCores)
        end(0, "too many cores draining");
    if (m_cores.isEmpty())
        m_poll->stop();
}

// The end is reaped from the event loop; the core leaves the list at once, so that it no
// longer counts towards the limit.
void DrainingCores::end(int index, const char *why)
{
    const Draining draining = m_cores.takeAt(index);
    qDebug() << "Retired core ended:" << draining.core->processId() << why;
    draining.core->kill();
}
