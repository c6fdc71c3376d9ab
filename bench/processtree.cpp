#include "processtree.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QThread>

#include <signal.h>

namespace {

// The fields of /proc/<pid>/stat after the command name, which is in parentheses and may
// itself hold spaces and parentheses: the fields are counted after the last ')'. The first
// of them (index 0) is field 3, the state.
QList<QByteArray> statFields(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() < 20 ? QList<QByteArray>() : fields;
}

// Whether that process, not another one given its pid since, still runs.
bool alive(const ProcessTree::Process &process)
{
    const QList<QByteArray> fields = statFields(process.pid);
    return !fields.isEmpty() && fields.at(19) == process.startTime;
}

} // namespace

namespace ProcessTree {

std::vector<Process> of(qint64 root)
{
    QHash<qint64, QList<qint64>> children;
    QHash<qint64, QByteArray> startTimes;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        const QList<QByteArray> fields = numeric ? statFields(pid) : QList<QByteArray>();
        if (!fields.isEmpty()) {
            children[fields.at(1).toLongLong()].append(pid);
            startTimes.insert(pid, fields.at(19));
        }
    }
    std::vector<Process> tree;
    QList<qint64> pending{root};
    while (!pending.isEmpty()) {
        const qint64 pid = pending.takeFirst();
        tree.push_back({pid, startTimes.value(pid)});
        pending += children.value(pid);
    }
    return tree;
}

void reap(const std::vector<Process> &tree, int graceMs)
{
    QElapsedTimer grace;
    grace.start();
    for (const Process &member : tree) {
        while (alive(member) && !grace.hasExpired(graceMs))
            QThread::msleep(20);
        if (alive(member))
            ::kill(pid_t(member.pid), SIGKILL);
    }
}

qint64 cpuTicks(qint64 root)
{
    qint64 ticks = 0;
    for (const Process &process : of(root)) {
        const QList<QByteArray> fields = statFields(process.pid);
        // utime, stime, cutime and cstime: fields 14 to 17.
        for (int field = 14; field <= 17 && !fields.isEmpty(); ++field)
            ticks += fields.at(field - 3).toLongLong();
    }
    return ticks;
}

} // namespace ProcessTree
