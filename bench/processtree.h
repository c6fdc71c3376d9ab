#pragma once

#include <QByteArray>

#include <vector>

// The processes a program has started, read from /proc: what the benchmarks count as the
// program's cost, the web engine's processes and the cores included.
namespace ProcessTree {

struct Process
{
    qint64 pid;
    QByteArray startTime; // field 22 of /proc/<pid>/stat: tells a reused pid apart
};

// The process and all its descendants, the process first.
std::vector<Process> of(qint64 root);

// Waits up to graceMs for the processes to end and kills those still left, so that the next
// run has the machine to itself.
void reap(const std::vector<Process> &tree, int graceMs);

// The CPU time the process and all its descendants have used, in clock ticks, with that of
// the children they have already waited for, so that a process ending meanwhile is counted.
qint64 cpuTicks(qint64 root);

} // namespace ProcessTree
